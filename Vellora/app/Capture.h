#pragma once
// Three ways into the library without the main window in front:
//   - the tray icon ("Vellora Inbox"): a click brings the window forward; its
//     menu shows the drop shelf, a small window that stays on top and takes
//     dropped files and links (tray icons take no drops here);
//   - the screenshot folder: new pictures written there are imported, when
//     the setting "importScreenshots" is on;
//   - "Add to Vellora": files, addresses or lines of text handed over by
//     other programs (the bus method AddToVellora, "--add-to-library").
// All of it ends in the default collection, through the URL import of the
// views or the store's file import.
//
// Main thread only.

#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>

class QMimeData;
class QSystemTrayIcon;

namespace vellora {

class Defaults;
class FolderWatcher;
class LibraryStore;

// The folder whose new pictures are imported: the setting
// "screenshotFolder" when set, else the first that exists of the pictures
// folder's "Screenshots" and the desktop folder.
QString screenshotFolder(const Defaults &settings);

// The visible picture files directly in a folder (hidden files, folders and
// other types left out; the type is read from the name). A folder that cannot
// be listed gives nothing.
QSet<QString> imageFiles(const QString &folder);

// What "Add to Vellora" takes from what it was handed: the addresses when
// there are any (file paths count as files), else every line of the text
// that reads as a link, in order.
QList<QUrl> addToVelloraURLs(const QStringList &uris, const QString &text);

// The drop shelf's answer to a drop: the URLs it carries (none for other
// data).
QList<QUrl> droppedURLs(const QMimeData &data);

// The small always-on-top window that takes drops for the inbox.
class DropShelf : public QWidget {
    Q_OBJECT
public:
    explicit DropShelf(QWidget *parent = nullptr);
    // Hands the drop's URLs on; true when there were any.
    bool acceptDrop(const QMimeData &data);
    // Where the URLs go; the default collection's import unless set.
    std::function<void(const QList<QUrl> &)> importURLs;

protected:
    void paintEvent(QPaintEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dragLeaveEvent(QDragLeaveEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    bool m_hovering = false;
};

class Capture : public QObject {
    Q_OBJECT
public:
    // `settings` holds "importScreenshots" and "screenshotFolder".
    Capture(LibraryStore &store, Defaults &settings, QObject *parent = nullptr);
    ~Capture() override;

    // The tray icon (once) and, when the setting is on, the folder watch.
    // `window` is brought forward by a click on the icon.
    void start(QWidget *window);
    bool started() const { return m_started; }

    // Stops any watch and, when `on`, starts a new one on the folder as it is
    // now. A watch still being set up when the next call arrives never starts.
    void setWatching(bool on);
    bool isWatching() const;
    QString watchedFolder() const { return m_folder; }
    // The picture files of the folder at the last look.
    const QSet<QString> &seen() const { return m_seen; }

    // "Add to Vellora".
    void addToVellora(const QStringList &uris, const QString &text);
    // Imports URLs into the default collection (files, then links).
    void importURLs(const QList<QUrl> &urls);

    QSystemTrayIcon *trayIcon() const { return m_tray; }
    DropShelf *dropShelf() const { return m_shelf; }
    void showDropShelf();

    // Waits this long after the folder's last event before it looks, so a
    // file written under a temporary name and renamed is seen once, under
    // its final name.
    static constexpr int kSettleMs = 250;

signals:
    // The watch is set up (after the first listing) or was stopped.
    void watchingChanged(bool watching);
    // New screenshots were handed to the import.
    void screenshotsImported(const QStringList &files);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void folderChanged(const QString &name);
    void importNewScreenshots();

    LibraryStore &m_store;
    Defaults &m_settings;
    bool m_started = false;
    QSystemTrayIcon *m_tray = nullptr;
    QPointer<DropShelf> m_shelf;
    QPointer<QWidget> m_window;
    std::unique_ptr<FolderWatcher> m_watcher;
    QString m_folder;
    QSet<QString> m_seen;
    // Paths closed after writing or renamed in since the last look.
    QSet<QString> m_pending;
    bool m_pendingAll = false;
    // Every setWatching() call takes a new number; a listing that comes back
    // with an older one is dropped.
    quint64 m_generation = 0;
    class QTimer *m_settle = nullptr;
};

} // namespace vellora
