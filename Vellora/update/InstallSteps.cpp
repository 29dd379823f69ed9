#include "InstallSteps.h"

#include "BundleManifest.h"
#include "platform/AtomicFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QUrl>
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

// The Trash records where a file came from, and Restore puts it back there.
// The old tree was trashed from the stage it had been swapped into; its
// record must name the installation instead, in the form the record already
// uses (absolute in the home Trash, relative to the volume's top otherwise).
void recordOriginalPlace(const QString &pathInTrash, const QString &trashedFrom, const QString &original)
{
    const QFileInfo trashed(pathInTrash);
    const QString infoPath = QDir::cleanPath(trashed.absolutePath() + QStringLiteral("/../info/") + trashed.fileName()
                                             + QStringLiteral(".trashinfo"));
    QFile in(infoPath);
    if (!in.open(QIODevice::ReadOnly))
        return;
    QList<QByteArray> lines = in.readAll().split('\n');
    in.close();
    bool changed = false;
    for (QByteArray &line : lines) {
        if (!line.startsWith("Path="))
            continue;
        const QString recorded = QUrl::fromPercentEncoding(line.mid(5));
        QString place = original;
        if (!recorded.startsWith(QLatin1Char('/'))) {
            // Relative to the volume's top: the same top serves the target.
            if (!trashedFrom.endsWith(recorded))
                return;
            const QString top = trashedFrom.left(trashedFrom.size() - recorded.size());
            if (!original.startsWith(top))
                return;
            place = original.mid(top.size());
        }
        line = "Path=" + QUrl::toPercentEncoding(place, "/");
        changed = true;
    }
    if (!changed)
        return;
    // Left as the Trash wrote it when this fails: Restore then offers the
    // staging place, and the old copy is still whole in the Trash.
    try {
        writeFileAtomically(infoPath, lines.join('\n'), Durability::Synced);
    } catch (const FileError &) {
    }
}

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
    const QString trashedFrom = QFileInfo(newBundle).absoluteFilePath();
    if (!QFile::moveToTrash(newBundle, &trashed)) {
        if (exchangePaths(newBundle, targetPath) != 0) {
            const QString aside = newBundle + QStringLiteral(".new");
            ::rename(to.constData(), QFile::encodeName(aside).constData());
            ::rename(from.constData(), to.constData());
        }
        result.error = QStringLiteral("the old copy of %1 can't be moved to the Trash").arg(targetPath);
        return result;
    }
    recordOriginalPlace(trashed, trashedFrom, QFileInfo(targetPath).absoluteFilePath());
    result.ok = true;
    return result;
}

bool relaunchInstalled(const QString &targetPath)
{
    const QString program = targetPath + QStringLiteral("/bin/vellora");
    if (!QFileInfo(program).isExecutable())
        return false;
    QProcess process;
    process.setProgram(QStringLiteral("/bin/sh"));
    process.setArguments({QStringLiteral("-c"), QStringLiteral("sleep 1; exec \"$0\""),
                          program});
    // The new copy waits for this process to end before it takes over the
    // session bus name; quitting may take longer than the second above.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(kRelaunchAfterVariable), QString::number(QCoreApplication::applicationPid()));
    process.setProcessEnvironment(environment);
    process.setStandardInputFile(QProcess::nullDevice());
    return process.startDetached();
}

} // namespace vellora
