#include "FileCoordination.h"

#include "Console.h"
#include "PosixIO.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <cerrno>
#include <cstring>
#include <memory>
#include <fcntl.h>
#include <shared_mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vellora {

namespace {
using posix::openRetrying;

QString errnoText(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

// One lock per absolute path, kept for the life of the process.
std::shared_ptr<std::shared_mutex> processLock(const QString &path)
{
    static std::mutex mutex;
    static QHash<QString, std::shared_ptr<std::shared_mutex>> locks;
    const QString key = QFileInfo(path).absoluteFilePath();
    std::lock_guard guard(mutex);
    auto &lock = locks[key];
    if (!lock)
        lock = std::make_shared<std::shared_mutex>();
    return lock;
}


bool flockRetrying(int fd, int operation)
{
    int rc;
    do {
        rc = ::flock(fd, operation);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

// The cross-process half: an open lock file holding a flock.
class LockFile {
public:
    ~LockFile()
    {
        if (m_fd >= 0)
            ::close(m_fd); // closing drops the flock
    }
    // -1 on success, else errno.
    int open(const QString &path)
    {
        m_fd = openRetrying(QFile::encodeName(coordinationLockPath(path)), O_RDWR | O_CREAT, 0644);
        return m_fd >= 0 ? -1 : errno;
    }
    bool lock(int operation) { return flockRetrying(m_fd, operation); }

private:
    int m_fd = -1;
};


} // namespace

QString coordinationLockPath(const QString &path)
{
    const QFileInfo info(path);
    return info.absolutePath() + QStringLiteral("/.") + info.fileName() + QStringLiteral(".lock");
}

bool coordinateReading(const QString &path, const std::function<void(const QString &)> &accessor, QString *error)
{
    const QFileInfo info(path);
    if (!QFileInfo(info.absolutePath()).isDir()) {
        if (error)
            *error = QStringLiteral("no folder for %1").arg(info.fileName());
        return false;
    }
    auto inProcess = processLock(path);
    std::shared_lock shared(*inProcess);
    LockFile lockFile;
    const int failure = lockFile.open(path);
    if (failure == -1) {
        if (!lockFile.lock(LOCK_SH)) {
            if (error)
                *error = errnoText(errno);
            return false;
        }
    } else if (failure != EACCES && failure != EROFS && failure != EPERM) {
        if (error)
            *error = errnoText(failure);
        return false;
    }
    accessor(path);
    return true;
}

void coordinateWriting(const QString &path, const std::function<void(const QString &)> &accessor)
{
    auto inProcess = processLock(path);
    std::unique_lock exclusive(*inProcess);
    LockFile lockFile;
    const int failure = lockFile.open(path);
    if (failure != -1)
        throw FileError(QStringLiteral("cannot lock %1: %2").arg(QFileInfo(path).fileName(), errnoText(failure)), failure);
    if (!lockFile.lock(LOCK_EX)) {
        const int code = errno;
        throw FileError(QStringLiteral("cannot lock %1: %2").arg(QFileInfo(path).fileName(), errnoText(code)), code);
    }
    accessor(path);
}

std::optional<QByteArray> readWholeFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return std::nullopt;
    return bytes;
}

void coordinatedWrite(const QString &path, const QByteArray &bytes)
{
    coordinateWriting(path, [&](const QString &url) { writeFileAtomically(url, bytes); });
}

void reportCoordinatedReadTimeout(const QString &path, double timeout)
{
    printLine(QStringLiteral("%1: coordinated read timed out after %2 s, reading directly")
                  .arg(QFileInfo(path).fileName())
                  .arg(qint64(timeout)));
}

std::optional<QByteArray> coordinatedReadData(const QString &path, double timeout)
{
    return coordinatedRead<QByteArray>(path, timeout, [](const QString &url) { return readWholeFile(url); });
}

} // namespace vellora
