#include "FilePresenter.h"

#include "FileVersions.h"
#include "FolderWatcher.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <mutex>
#include <optional>
#include <sys/stat.h>

namespace vellora {

namespace {
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    qint64 mtimeSeconds = 0;
    qint64 mtimeNanoseconds = 0;
    bool operator==(const FileIdentity &) const = default;
};

std::optional<FileIdentity> identityOf(const QString &path)
{
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return std::nullopt;
    return FileIdentity{st.st_dev, st.st_ino, st.st_size, qint64(st.st_mtim.tv_sec), qint64(st.st_mtim.tv_nsec)};
}

std::mutex g_ownWritesLock;
QHash<QString, FileIdentity> g_ownWrites;

QString canonicalKey(const QString &path) { return QDir::cleanPath(QFileInfo(path).absoluteFilePath()); }
} // namespace

FilePresenter::FilePresenter(QObject *parent)
    : QObject(parent), m_watcher(new FolderWatcher(this))
{
    connect(m_watcher, &FolderWatcher::changed, this,
            [this](const QString &name, FolderWatcher::Events) { onFolderEvent(name); });
}

FilePresenter::~FilePresenter() = default;

bool FilePresenter::present(const QString &filePath)
{
    stop();
    const QString key = canonicalKey(filePath);
    const QFileInfo info(key);
    // No name filter: the conflict copies that sync clients leave beside the
    // file are changes of it too.
    m_watcher->setNameFilter(QString());
    if (!m_watcher->watch(info.absolutePath(),
                          FolderWatcher::Created | FolderWatcher::MovedIn | FolderWatcher::ClosedWrite
                              | FolderWatcher::Deleted | FolderWatcher::MovedOut))
        return false;
    m_path = key;
    return true;
}

void FilePresenter::stop()
{
    m_watcher->stop();
    m_path.clear();
}

QString FilePresenter::presentedPath() const { return m_path; }

bool FilePresenter::isPresenting() const { return m_watcher->isWatching(); }

void FilePresenter::noteOwnWrite(const QString &filePath)
{
    const QString key = canonicalKey(filePath);
    const auto identity = identityOf(key);
    std::lock_guard guard(g_ownWritesLock);
    if (identity)
        g_ownWrites.insert(key, *identity);
    else
        g_ownWrites.remove(key);
}

void FilePresenter::onFolderEvent(const QString &name)
{
    if (m_path.isEmpty())
        return;
    const QString fileName = QFileInfo(m_path).fileName();
    if (!name.isEmpty() && name != fileName) {
        if (FileVersions::isConflictCopyName(fileName, name))
            emit presentedItemDidChange();
        return;
    }
    const auto identity = identityOf(m_path);
    {
        std::lock_guard guard(g_ownWritesLock);
        auto it = g_ownWrites.constFind(m_path);
        // The file is as this process wrote it: the events are our own save's
        // (its temp file's rename and close). Anything else is someone else's.
        if (identity && it != g_ownWrites.constEnd() && *it == *identity)
            return;
    }
    emit presentedItemDidChange();
}

} // namespace vellora
