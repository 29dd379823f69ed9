#pragma once
// Ways into the library that do not need the main window in front:
//   - the tray icon "Vellora Inbox": a click brings the main window forward;
//     its menu shows the drop shelf, a small always-on-top window that takes
//     dropped files and links (tray icons take no drops on Linux), which is
//     also shown while the main window is hidden;
//   - the screenshot folder: while "importScreenshots" is on, every new
//     picture that the screenshot tool finishes writing there goes into the
//     first collection.
//
// Main thread only; folder listings run on the thread pool and come back
// here.

#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QWidget>

class QMimeData;
class QSystemTrayIcon;
class QMenu;

namespace vellora {

class Defaults;
class FolderWatcher;
class LibraryStore;

inline constexpr char kImportScreenshotsKey[] = "importScreenshots";

// Brings addresses into the store's first collection through importURLs,
// once the library has loaded (a request that arrives earlier waits for it;
// one for a library that cannot be read is dropped).
void importIntoDefaultCollection(LibraryStore &store, const QList<QUrl> &urls);

// The drop target: frameless, on top of other windows, no task-bar entry.
class DropShelf : public QWidget {
    Q_OBJECT
public:
    explicit DropShelf(LibraryStore &store, QWidget *parent = nullptr);

    // What a drop does: the addresses of `mime` (its text/uri-list, which
    // holds dropped files and links) go to the first collection, also when
    // there are none; true when there was at least one.
    bool handleDrop(const QMimeData *mime);

protected:
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    LibraryStore &m_store;
};

class Capture : public QObject {
    Q_OBJECT
public:
    // The application's one Capture, on the shared store and the user's defaults.
    static Capture &shared();

    Capture(LibraryStore &store, Defaults &defaults, QObject *parent = nullptr);
    ~Capture() override;

    // Makes the tray icon and the drop shelf once, and starts watching the
    // screenshot folder when "importScreenshots" is on. Later calls do nothing.
    void start();
    // The same, with the window that a click on the icon brings forward and
    // whose hiding shows the shelf (by default the first QMainWindow).
    void start(QWidget *window);
    bool started() const { return m_tray != nullptr; }

    // Shows the drop shelf at the bottom right of the screen.
    void showDropShelf();

    // Ends any watch; with true, starts a new one: the folder is found and
    // listed on the thread pool, then watched from here. A start still
    // pending when another call arrives is abandoned.
    void setWatching(bool on);
    // True once a watch is installed (not while it is still pending).
    bool isWatching() const;
    QString watchedFolder() const;
    // The picture files of the folder at the last look.
    QSet<QString> seen() const { return m_seen; }

    QSystemTrayIcon *trayIcon() const { return m_tray; }
    DropShelf *dropShelf() const { return m_shelf; }
    // The tray's picture, drawn here: 18 x 18, and twice that for dense screens.
    static QIcon inboxIcon();
    // Brings `window` forward, or else the first top-level window that can be
    // the main window.
    static void raiseMainWindow(QWidget *window = nullptr);

signals:
    // A watch is installed on `folder`.
    void watchingStarted(const QString &folder);
    // A watch was installed (true) or ended (false): by setWatching, or
    // because its folder went away. A folder that went is waited for, and
    // watched again (true) when it is back.
    void watchingChanged(bool watching);
    // New screenshots were handed to the file import.
    void screenshotsImported(const QStringList &files);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void installWatch(quint64 generation, const QString &folder, const QSet<QString> &listing);
    void folderChanged(const QString &name, int events);
    void folderRenamed(const QString &from, const QString &to);
    void folderGone(const QString &folder);
    // Finds `folder`, or the nearest folder above it, on the thread pool.
    void awaitFolder(quint64 generation, const QString &folder);
    void folderFound(quint64 generation, const QString &folder, const QString &present, const QSet<QString> &listing);
    void scheduleLook();
    void look();
    void lookFinished(quint64 generation, quint64 startedAt, const QSet<QString> &listing);
    void followMainWindow(QWidget *window);

    LibraryStore &m_store;
    Defaults &m_defaults;
    QSystemTrayIcon *m_tray = nullptr;
    QMenu *m_menu = nullptr;
    QPointer<DropShelf> m_shelf;
    QPointer<QWidget> m_mainWindow;

    FolderWatcher *m_watcher = nullptr;
    // While the watched folder is gone: the nearest folder above it that is
    // there, watched for the next step of the way back.
    FolderWatcher *m_awaiting = nullptr;
    // Bumped by every setWatching(): work started under an older value is dropped.
    quint64 m_generation = 0;
    QSet<QString> m_seen;
    // Files created in the folder and not yet closed: never taken while written.
    QSet<QString> m_writing;
    // Renames within the folder, each with the event count when it came.
    struct Rename {
        quint64 at;
        QString from;
        QString to;
    };
    QList<Rename> m_renames;
    quint64 m_eventCount = 0;
    QTimer m_lookTimer;
    bool m_looking = false;
    bool m_lookAgain = false;
};

} // namespace vellora
