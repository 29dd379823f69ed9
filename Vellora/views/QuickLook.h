#pragma once
// A frameless preview window of one picture file, toggled by Space: the
// original decoded on a worker thread at full resolution (bounded to
// kQuickLookPixels on its longer side, so no file takes more memory than
// that), shown scaled to fit on the window grey. Escape or Space closes it,
// as does a click.

#include <QImage>
#include <QWidget>

namespace vellora {

inline constexpr double kQuickLookPixels = 8192;

class QuickLook : public QWidget {
    Q_OBJECT
public:
    explicit QuickLook(QWidget *parent = nullptr);

    // Shows the preview of `path`, or closes it when it shows that file.
    void toggle(const QString &path);
    // Shows the preview of `path` (replacing another one).
    void preview(const QString &path);
    QString path() const { return m_path; }
    bool isShowing() const { return isVisible(); }
    // The decoded picture; null until it arrived (or when it could not be read).
    const QImage &image() const { return m_image; }

signals:
    // The picture of `path` was decoded (or found unreadable).
    void imageReady(const QString &path);

protected:
    void paintEvent(QPaintEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void fitToScreen();

    QString m_path;
    QImage m_image;
    bool m_failed = false;
    quint64 m_request = 0;
};

} // namespace vellora
