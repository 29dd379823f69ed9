#pragma once
// Watching one folder for entries that appear, change or go away. Stands in
// for the file-system event sources and file presenters of the original
// platform: inotify on the folder, read through a QSocketNotifier on the
// thread that calls watch() (the main thread in the application).
//
// The folder is watched, not a file inside it: an atomic save renames a new
// file over the old one, so a watch on the old inode would go quiet after the
// first save.

#include <QObject>
#include <QString>

#include <cstdint>

class QSocketNotifier;

namespace vellora {

class FolderWatcher : public QObject {
    Q_OBJECT
public:
    enum Event {
        Created = 0x1,      // a new entry (file, folder or link)
        MovedIn = 0x2,      // an entry renamed into the folder, or within it (new name)
        ClosedWrite = 0x4,  // a file opened for writing was closed
        Deleted = 0x8,      // an entry was removed
        MovedOut = 0x10,    // an entry renamed out of the folder, or within it (old name)
    };
    Q_DECLARE_FLAGS(Events, Event)

    explicit FolderWatcher(QObject *parent = nullptr);
    ~FolderWatcher() override;

    // Starts watching `folder` for the given events, replacing an earlier
    // watch. False (and no watch) when the folder cannot be watched: it does
    // not exist, is not a folder, or inotify refuses.
    bool watch(const QString &folder, Events events = Events(Created | MovedIn | ClosedWrite | Deleted));
    void stop();

    bool isWatching() const;
    QString folder() const;

    // Report only the entry with exactly this name (empty: every entry).
    void setNameFilter(const QString &name);
    QString nameFilter() const;

signals:
    // One signal per inotify event, in the order the kernel reported them.
    // An empty name (and every event) when the kernel's queue overflowed and
    // events were lost, whatever the name filter.
    void changed(const QString &name, vellora::FolderWatcher::Events events);
    // An entry renamed within the folder (both MovedOut and MovedIn watched):
    // sent between the old name's MovedOut and the new name's MovedIn.
    void renamed(const QString &from, const QString &to);
    // The watched folder itself was removed or moved away; the watch has ended.
    void folderGone();

private:
    void readEvents();

    int m_fd = -1;
    int m_wd = -1;
    QSocketNotifier *m_notifier = nullptr;
    QString m_folder;
    QString m_nameFilter;
    // The last MovedOut, kept to pair it with the MovedIn of the same rename.
    uint32_t m_moveCookie = 0;
    QString m_movedFrom;
};

} // namespace vellora

Q_DECLARE_OPERATORS_FOR_FLAGS(vellora::FolderWatcher::Events)
