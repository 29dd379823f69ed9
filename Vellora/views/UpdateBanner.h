#pragma once
// The update banner that stands first in the header bar, and the updater's
// section of the settings window. Both only show the shared updater's state
// and call its operations.

#include <QStringList>
#include <QWidget>

class QFontMetrics;
class QLabel;
class QPushButton;

namespace vellora {

class GlassCapsule;
class Updater;

// `text` laid out in at most `maxLines` lines of `width` pixels, broken only
// between words (or after a "/"); when it does not fit, the last line ends
// with whole words and "…".
QStringList fitBannerLines(const QString &text, const QFontMetrics &metrics, int width, int maxLines);

class UpdateBanner : public QWidget {
    Q_OBJECT
public:
    static constexpr int kTextWidth = 320;

    explicit UpdateBanner(Updater &updater, QWidget *parent = nullptr);

    // "Vellora 2.0 is available", or the updater's status while it has one.
    QString text() const;
    // What the banner shows of text(), one line per entry.
    QStringList shownLines() const;
    // The download's progress as drawn under the text, 0…1; -1 when none.
    double progress() const;

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    struct Layout {
        QStringList lines;
        int pixelSize = 13;
        int width = 0; // of the widest line
    };
    // text() laid out for a label `width` pixels wide.
    Layout layoutText(int width) const;
    // Lays the text out again for the width the label has now.
    void fitText();
    void refresh();

    Updater &m_updater;
    GlassCapsule *m_capsule;
    QWidget *m_progress = nullptr;
    QLabel *m_text;
    QPushButton *m_update;
    QPushButton *m_dismiss;
};

class UpdateSettingsSection : public QWidget {
    Q_OBJECT
public:
    explicit UpdateSettingsSection(Updater &updater, QWidget *parent = nullptr);

    QString lastCheckedText() const;

private:
    void refresh();

    Updater &m_updater;
    QLabel *m_lastChecked;
    QLabel *m_status;
    QPushButton *m_check;
};

} // namespace vellora
