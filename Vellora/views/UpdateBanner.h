#pragma once
// The update banner that stands first in the header bar, and the updater's
// section of the settings window. Both only show the shared updater's state
// and call its operations.

#include <QWidget>

class QLabel;
class QPushButton;

namespace vellora {

class GlassCapsule;
class Updater;

class UpdateBanner : public QWidget {
    Q_OBJECT
public:
    explicit UpdateBanner(Updater &updater, QWidget *parent = nullptr);

    // "Vellora 2.0 is available", or the updater's status while it has one.
    QString text() const;
    // The download's progress as drawn under the text, 0…1; -1 when none.
    double progress() const;

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
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
