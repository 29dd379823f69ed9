#include "FolderWatcher.h"

#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace vellora {

namespace {
uint32_t inotifyMask(FolderWatcher::Events events)
{
    uint32_t mask = IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
    if (events & FolderWatcher::Created)
        mask |= IN_CREATE;
    if (events & FolderWatcher::MovedIn)
        mask |= IN_MOVED_TO;
    if (events & FolderWatcher::ClosedWrite)
        mask |= IN_CLOSE_WRITE;
    if (events & FolderWatcher::Deleted)
        mask |= IN_DELETE;
    if (events & FolderWatcher::MovedOut)
        mask |= IN_MOVED_FROM;
    return mask;
}

FolderWatcher::Events eventsOf(uint32_t mask)
{
    FolderWatcher::Events events;
    if (mask & IN_CREATE)
        events |= FolderWatcher::Created;
    if (mask & IN_MOVED_TO)
        events |= FolderWatcher::MovedIn;
    if (mask & IN_CLOSE_WRITE)
        events |= FolderWatcher::ClosedWrite;
    if (mask & IN_DELETE)
        events |= FolderWatcher::Deleted;
    if (mask & IN_MOVED_FROM)
        events |= FolderWatcher::MovedOut;
    return events;
}
} // namespace

FolderWatcher::FolderWatcher(QObject *parent) : QObject(parent) {}

FolderWatcher::~FolderWatcher() { stop(); }

bool FolderWatcher::watch(const QString &folder, Events events)
{
    stop();
    const QFileInfo info(folder);
    if (!info.isDir())
        return false;
    const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0)
        return false;
    const QByteArray path = QFile::encodeName(info.absoluteFilePath());
    const int wd = inotify_add_watch(fd, path.constData(), inotifyMask(events));
    if (wd < 0) {
        ::close(fd);
        return false;
    }
    m_fd = fd;
    m_wd = wd;
    m_folder = info.absoluteFilePath();
    m_notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &FolderWatcher::readEvents);
    return true;
}

void FolderWatcher::stop()
{
    if (m_notifier) {
        m_notifier->setEnabled(false);
        delete m_notifier;
        m_notifier = nullptr;
    }
    if (m_fd >= 0) {
        // Closing the descriptor removes the watch with it.
        ::close(m_fd);
        m_fd = -1;
    }
    m_wd = -1;
    m_folder.clear();
    m_moveCookie = 0;
    m_movedFrom.clear();
}

bool FolderWatcher::isWatching() const { return m_fd >= 0; }

QString FolderWatcher::folder() const { return m_folder; }

void FolderWatcher::setNameFilter(const QString &name) { m_nameFilter = name; }

QString FolderWatcher::nameFilter() const { return m_nameFilter; }

void FolderWatcher::readEvents()
{
    // Aligned as the kernel expects; large enough for many events at once.
    alignas(struct inotify_event) char buffer[16 * (sizeof(struct inotify_event) + NAME_MAX + 1)];
    bool gone = false;
    for (;;) {
        const ssize_t length = ::read(m_fd, buffer, sizeof buffer);
        if (length <= 0)
            break; // EAGAIN: drained (or an error, which the next activation retries)
        for (ssize_t offset = 0; offset < length;) {
            const auto *event = reinterpret_cast<const struct inotify_event *>(buffer + offset);
            offset += ssize_t(sizeof(struct inotify_event) + event->len);
            if (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) {
                gone = true;
                continue;
            }
            if (event->mask & IN_Q_OVERFLOW) {
                // Events were lost: say that anything may have changed.
                emit changed(QString(), Events(Created | MovedIn | ClosedWrite | Deleted | MovedOut));
                if (m_fd < 0)
                    return;
                continue;
            }
            if (event->len == 0)
                continue;
            const QString name = QFile::decodeName(event->name);
            if (event->mask & IN_MOVED_FROM) {
                m_moveCookie = event->cookie;
                m_movedFrom = name;
            } else if ((event->mask & IN_MOVED_TO) && event->cookie != 0 && event->cookie == m_moveCookie) {
                const QString from = m_movedFrom;
                m_moveCookie = 0;
                m_movedFrom.clear();
                if (m_nameFilter.isEmpty()) {
                    emit renamed(from, name);
                    if (m_fd < 0)
                        return;
                }
            }
            if (!m_nameFilter.isEmpty() && name != m_nameFilter)
                continue;
            const Events events = eventsOf(event->mask);
            if (events)
                emit changed(name, events);
            if (m_fd < 0)
                return; // a receiver stopped the watch
        }
    }
    if (gone) {
        stop();
        emit folderGone();
    }
}

} // namespace vellora
