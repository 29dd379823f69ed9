#include "InstallSteps.h"

#include "BundleManifest.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>

namespace vellora {

namespace {

int exchangePaths(const QString &a, const QString &b)
{
    return ::renameat2(AT_FDCWD, QFile::encodeName(a).constData(), AT_FDCWD, QFile::encodeName(b).constData(),
                       RENAME_EXCHANGE);
}

QString errnoText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

} // namespace

bool isReplaceableTarget(const QString &targetPath)
{
    const QFileInfo info(targetPath);
    if (!info.exists() && !info.isSymLink())
        return true;
    if (info.isSymLink() || !info.isDir())
        return false;
    const auto manifest = readBundleManifest(targetPath);
    return manifest && manifest->identifier == QLatin1String(kUpdateBundleIdentifier);
}

SwapResult replaceWithNewBundle(const QString &newBundle, const QString &targetPath)
{
    SwapResult result;
    const QByteArray from = QFile::encodeName(newBundle);
    const QByteArray to = QFile::encodeName(targetPath);
    const QFileInfo target(targetPath);
    if (!target.exists()) {
        if (::rename(from.constData(), to.constData()) != 0) {
            result.error = QStringLiteral("%1 can't be moved into place (%2)").arg(targetPath, errnoText(errno));
            return result;
        }
        result.ok = true;
        return result;
    }
    bool exchanged = exchangePaths(newBundle, targetPath) == 0;
    if (!exchanged && errno != ENOSYS && errno != EINVAL) {
        result.error = QStringLiteral("%1 can't be replaced (%2)").arg(targetPath, errnoText(errno));
        return result;
    }
    if (!exchanged) {
        // No atomic exchange on this file system: two renames, the old tree
        // set aside first so that it can come back.
        const QString aside = newBundle + QStringLiteral(".old");
        if (::rename(to.constData(), QFile::encodeName(aside).constData()) != 0) {
            result.error = QStringLiteral("%1 can't be moved aside (%2)").arg(targetPath, errnoText(errno));
            return result;
        }
        if (::rename(from.constData(), to.constData()) != 0) {
            const int error = errno;
            ::rename(QFile::encodeName(aside).constData(), to.constData());
            result.error = QStringLiteral("%1 can't be moved into place (%2)").arg(targetPath, errnoText(error));
            return result;
        }
        ::rename(QFile::encodeName(aside).constData(), from.constData());
    }
    // The old tree now sits where the new one was.
    QString trashed;
    if (!QFile::moveToTrash(newBundle, &trashed)) {
        if (exchangePaths(newBundle, targetPath) != 0) {
            const QString aside = newBundle + QStringLiteral(".new");
            ::rename(to.constData(), QFile::encodeName(aside).constData());
            ::rename(from.constData(), to.constData());
        }
        result.error = QStringLiteral("the old copy of %1 can't be moved to the Trash").arg(targetPath);
        return result;
    }
    result.ok = true;
    return result;
}

bool relaunchInstalled(const QString &targetPath)
{
    return QProcess::startDetached(QStringLiteral("/bin/sh"),
                                   {QStringLiteral("-c"), QStringLiteral("sleep 1; exec \"$0\""),
                                    targetPath + QStringLiteral("/bin/vellora")});
}

} // namespace vellora
