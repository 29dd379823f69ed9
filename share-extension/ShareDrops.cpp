#include "ShareDrops.h"

#include "library/PictureIntake.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QRegularExpression>
#include <QSettings>
#include <QUrl>
#include <QUuid>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vshare {

Q_LOGGING_CATEGORY(lcShare, "vellora.share")

namespace {
// The application's own names for its settings and folders.
const QString kSettingsFile = QStringLiteral("Vellora/Vellora.conf");
const QString kSyncedFolderKey = QStringLiteral("syncedFolder");
const QString kLocationKey = QStringLiteral("libraryLocation");
const QString kContainer = QStringLiteral("iCloud.com.quendle.vellora");
// A settings file is a few kilobytes; a larger one is not read.
constexpr qint64 kMaxSettingsBytes = 1 << 20;

QString env(const char *name) { return QString::fromLocal8Bit(qgetenv(name)); }

QString errnoText() { return QString::fromLocal8Bit(std::strerror(errno)); }

// Reads the few settings this program needs from the application's file.
// QSettings only reads here; nothing is ever written back.
QVariant setting(const Places &places, const QString &key)
{
    const QString path = QDir(places.configHome).filePath(kSettingsFile);
    const QFileInfo info(path);
    if (!info.isFile() || info.size() > kMaxSettingsBytes)
        return {};
    QSettings settings(path, QSettings::IniFormat);
    return settings.value(key);
}

bool retryingFsync(int fd)
{
    int rc;
    do
        rc = ::fsync(fd);
    while (rc != 0 && errno == EINTR);
    return rc == 0;
}

bool writeAll(int fd, const QByteArray &bytes)
{
    const char *at = bytes.constData();
    qint64 left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, at, size_t(std::min<qint64>(left, 1 << 20)));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        at += n;
        left -= n;
    }
    return true;
}
} // namespace

Places Places::fromEnvironment()
{
    Places p;
    p.rootOverride = env("VELLORA_ROOT");
    p.home = QDir::homePath();
    p.configHome = env("XDG_CONFIG_HOME");
    if (p.configHome.isEmpty())
        p.configHome = p.home + QStringLiteral("/.config");
    p.dataHome = env("XDG_DATA_HOME");
    if (p.dataHome.isEmpty())
        p.dataHome = p.home + QStringLiteral("/.local/share");
    return p;
}

QString dropsFolder(const Places &places)
{
    if (!places.rootOverride.isEmpty())
        return QDir::cleanPath(QFileInfo(places.rootOverride).absoluteFilePath() + QStringLiteral("/Drops"));
    // The synced folder stands for the cloud: its container takes the drops
    // of every library location.
    const QString synced = setting(places, kSyncedFolderKey).toString().trimmed();
    std::optional<QString> syncedDir;
    if (!synced.isEmpty() && QFileInfo(QDir::cleanPath(synced)).isDir())
        syncedDir = QFileInfo(QDir::cleanPath(synced)).absoluteFilePath();
    if (syncedDir)
        return QDir::cleanPath(*syncedDir + QLatin1Char('/') + kContainer + QStringLiteral("/Data/Drops"));
    const QString location = setting(places, kLocationKey).toString();
    if (location == QLatin1String("iclouddrive"))
        return QDir::cleanPath(places.home + QStringLiteral("/Vellora.library/Drops"));
    return QDir::cleanPath(places.dataHome + QStringLiteral("/Vellora/Drops"));
}

std::optional<QString> linkText(const QString &raw)
{
    QString text = raw.trimmed();
    if (text.isEmpty() || text.contains(QLatin1Char(' ')))
        return std::nullopt;
    if (!text.contains(QLatin1String("://")))
        text.prepend(QStringLiteral("https://"));
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid())
        return std::nullopt;
    const QString scheme = url.scheme().toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        return std::nullopt;
    const QString host = url.host(QUrl::FullyEncoded);
    if (host.isEmpty() || !host.contains(QLatin1Char('.')))
        return std::nullopt;
    return text;
}

std::vector<ShareInput> inputsFromArguments(const QStringList &arguments)
{
    std::vector<ShareInput> inputs;
    for (const QString &argument : arguments) {
        if (argument == QLatin1String("--quiet"))
            continue;
        if (argument.startsWith(QLatin1String("file:"), Qt::CaseInsensitive)) {
            const QUrl url(argument);
            if (url.isLocalFile()) {
                inputs.push_back({ShareInput::File, url.toLocalFile()});
                continue;
            }
        }
        // Something that is there, or is written as a path, is a file;
        // anything else is text (a link, or not).
        const bool pathLike = argument.startsWith(QLatin1Char('/')) || argument.startsWith(QLatin1String("./")) ||
                              argument.startsWith(QLatin1String("../")) || argument.startsWith(QLatin1Char('~'));
        QFileInfo info(argument);
        if (pathLike || (!argument.contains(QLatin1String("://")) && (info.exists() || info.isSymLink())))
            inputs.push_back({ShareInput::File, argument});
        else
            inputs.push_back({ShareInput::Text, argument});
    }
    return inputs;
}

std::optional<QString> pictureExtension(const QByteArray &bytes)
{
    static const QMimeDatabase db;
    const QMimeType type = db.mimeTypeForData(bytes);
    // Drawings (SVG) are text, not pictures the library keeps.
    if (!type.isValid() || !type.name().startsWith(QLatin1String("image/")) || type.inherits(QStringLiteral("text/plain")))
        return std::nullopt;
    QString suffix = type.preferredSuffix();
    if (suffix.isEmpty() && !type.suffixes().isEmpty())
        suffix = type.suffixes().constFirst();
    if (suffix.isEmpty()) {
        // No extension on record: the media type's own name, made safe.
        suffix = type.name().mid(6).toLower();
        if (suffix.startsWith(QLatin1String("x-")))
            suffix = suffix.mid(2);
        suffix.remove(QRegularExpression(QStringLiteral("[^a-z0-9]")));
        suffix.truncate(12);
    }
    if (suffix.isEmpty())
        return std::nullopt;
    return suffix.toLower();
}

std::optional<QByteArray> readSharedFile(const QString &path, qint64 cap, QString *why)
{
    auto fail = [why](const QString &reason) -> std::optional<QByteArray> {
        if (why)
            *why = reason;
        return std::nullopt;
    };
    const QByteArray native = QFile::encodeName(path);
    int fd;
    do
        fd = ::open(native.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return fail(errno == ELOOP ? QStringLiteral("is a symbolic link") : errnoText());
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return fail(QStringLiteral("is not a regular file"));
    }
    if (st.st_size > cap) {
        ::close(fd);
        return fail(QStringLiteral("is larger than %1 MiB").arg(cap >> 20));
    }
    QByteArray bytes;
    bytes.reserve(qsizetype(st.st_size));
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            const QString reason = errnoText();
            ::close(fd);
            return fail(reason);
        }
        if (n == 0)
            break;
        if (bytes.size() + n > cap) {
            ::close(fd);
            return fail(QStringLiteral("is larger than %1 MiB").arg(cap >> 20));
        }
        bytes.append(buffer, qsizetype(n));
    }
    ::close(fd);
    return bytes;
}

std::optional<QString> writeDrop(const QString &folder, const QString &suffix, const QByteArray &bytes, QString *why)
{
    auto fail = [why](const QString &reason) -> std::optional<QString> {
        if (why)
            *why = reason;
        return std::nullopt;
    };
    if (!QDir().mkpath(folder) || !QFileInfo(folder).isDir())
        return fail(QStringLiteral("cannot make the drops folder %1").arg(folder));
    const QString name = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper() + suffix;
    const QString target = folder + QLatin1Char('/') + name;
    // Dot-named while it is written: the application skips such names.
    const QString temporary = folder + QStringLiteral("/.") + name + QStringLiteral(".writing");
    const QByteArray tmp = QFile::encodeName(temporary);
    int fd;
    do
        fd = ::open(tmp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return fail(QStringLiteral("cannot write in %1: %2").arg(folder, errnoText()));
    const bool written = writeAll(fd, bytes) && retryingFsync(fd);
    const QString writeError = errnoText();
    if (::close(fd) != 0 || !written) {
        ::unlink(tmp.constData());
        return fail(QStringLiteral("cannot write in %1: %2").arg(folder, writeError));
    }
    // A fresh UUID never meets an existing name; link() refuses to replace
    // one all the same.
    const QByteArray dst = QFile::encodeName(target);
    if (::link(tmp.constData(), dst.constData()) != 0) {
        const QString reason = errnoText();
        ::unlink(tmp.constData());
        return fail(QStringLiteral("cannot name the drop in %1: %2").arg(folder, reason));
    }
    ::unlink(tmp.constData());
    const int dir = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        retryingFsync(dir);
        ::close(dir);
    }
    return target;
}

ShareResult share(const std::vector<ShareInput> &inputs, const QString &folder)
{
    ShareResult result;
    auto shareText = [&](const QString &text, const QString &from) {
        bool any = false;
        for (const QString &line : text.split(QRegularExpression(QStringLiteral("[\r\n]+")), Qt::SkipEmptyParts)) {
            const std::optional<QString> link = linkText(line);
            if (!link)
                continue;
            any = true;
            QString why;
            if (const auto drop = writeDrop(folder, QStringLiteral(".url.txt"), link->toUtf8(), &why)) {
                ++result.written;
                result.drops << *drop;
            } else {
                result.problems << why;
            }
        }
        if (!any)
            result.problems << QStringLiteral("%1: no link in it").arg(from);
    };

    for (const ShareInput &input : inputs) {
        if (input.kind == ShareInput::Text) {
            shareText(input.value, QStringLiteral("\"%1\"").arg(input.value.left(60)));
            continue;
        }
        QString why;
        const std::optional<QByteArray> bytes = readSharedFile(input.value, kMaxPictureBytes, &why);
        if (!bytes) {
            result.problems << QStringLiteral("%1: %2").arg(input.value, why);
            continue;
        }
        if (const auto extension = pictureExtension(*bytes)) {
            // The application's own rule: a drop it would set aside as no
            // picture is refused here, before anyone is told it was added.
            if (const auto refusal = vellora::pictureRefusal(*bytes)) {
                result.problems << (refusal->kind == vellora::PictureRefusal::TooLarge
                                        ? QStringLiteral("%1: is %2, more than Vellora decodes").arg(input.value, refusal->detail)
                                        : QStringLiteral("%1: cannot be read as a picture (damaged, cut off, or of a kind "
                                                         "Vellora does not take)")
                                              .arg(input.value));
                continue;
            }
            if (const auto drop = writeDrop(folder, QLatin1Char('.') + *extension, *bytes, &why)) {
                ++result.written;
                result.drops << *drop;
            } else {
                result.problems << why;
            }
            continue;
        }
        static const QMimeDatabase db;
        const QMimeType type = db.mimeTypeForData(*bytes);
        if (type.inherits(QStringLiteral("text/plain")) && bytes->size() <= kMaxTextBytes) {
            shareText(QString::fromUtf8(*bytes), input.value);
            continue;
        }
        result.problems << QStringLiteral("%1: not a picture, a link or a text (%2)").arg(input.value, type.name());
    }
    return result;
}

} // namespace vshare
