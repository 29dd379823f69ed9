#include "FileCopy.h"

#include "PosixIO.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vellora {

namespace {
using posix::openRetrying;
using posix::writeAll;

} // namespace

void syncFolder(const QString &folder)
{
    const int fd = openRetrying(QFile::encodeName(folder), O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

void syncFile(const QString &path)
{
    const int fd = openRetrying(QFile::encodeName(path), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode))
        ::fsync(fd);
    ::close(fd);
}

bool cloneOrCopyFile(const QString &from, const QString &to)
{
    const int in = openRetrying(QFile::encodeName(from), O_RDONLY);
    if (in < 0)
        return false;
    const QByteArray target = QFile::encodeName(to);
    const int out = openRetrying(target, O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (out < 0) {
        ::close(in);
        return false;
    }
    bool ok = ::ioctl(out, FICLONE, in) == 0;
    if (!ok) {
        ok = true;
        char buffer[1 << 16];
        for (;;) {
            const ssize_t n = ::read(in, buffer, sizeof buffer);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                ok = false;
                break;
            }
            if (n == 0)
                break;
            if (!writeAll(out, buffer, n)) {
                ok = false;
                break;
            }
        }
    }
    ok = (::close(out) == 0) && ok;
    ::close(in);
    if (!ok)
        ::unlink(target.constData());
    return ok;
}

} // namespace vellora
