#include "ScreenshotFolder.h"

#include "Defaults.h"

#include <QDir>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QStandardPaths>

#include <cstring>

namespace vellora {

QString screenshotFolder(const Defaults &defaults)
{
    return screenshotFolder(defaults.string(QString::fromLatin1(kScreenshotFolderKey)));
}

QString screenshotFolder(const QString &setting)
{
    const QString chosen = setting.trimmed();
    if (!chosen.isEmpty()) {
        if (chosen == QLatin1String("~"))
            return QDir::homePath();
        if (chosen.startsWith(QLatin1String("~/")))
            return QDir::cleanPath(QDir::homePath() + chosen.mid(1));
        return QDir::cleanPath(QFileInfo(chosen).absoluteFilePath());
    }
    // Qt reads the XDG user folders (user-dirs.dirs) as xdg-user-dir does.
    const QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    if (!pictures.isEmpty()) {
        const QString screenshots = QDir::cleanPath(pictures + QStringLiteral("/Screenshots"));
        if (QFileInfo(screenshots).isDir())
            return screenshots;
    }
    return QDir::cleanPath(desktop);
}

bool hasImageExtension(const QString &fileName)
{
    static const QMimeDatabase database;
    // By the name only: the content of a file still being judged is not read.
    const QList<QMimeType> types = database.mimeTypesForFileName(fileName);
    for (const QMimeType &type : types) {
        if (type.name().startsWith(QLatin1String("image/")))
            return true;
        const QStringList ancestors = type.allAncestors();
        for (const QString &ancestor : ancestors) {
            if (ancestor.startsWith(QLatin1String("image/")))
                return true;
        }
    }
    return false;
}

QSet<QString> imageFiles(const QString &folder)
{
    QSet<QString> files;
    if (folder.isEmpty())
        return files;
    QDir dir(folder);
    // Hidden entries are left out by not asking for them; a link could point
    // anywhere, so only plain files count.
    const QStringList names = dir.entryList(QDir::Files | QDir::NoDotAndDotDot | QDir::NoSymLinks, QDir::NoSort);
    for (const QString &name : names) {
        if (name.startsWith(QLatin1Char('.')) || !hasImageExtension(name))
            continue;
        files.insert(dir.absoluteFilePath(name));
    }
    return files;
}

namespace {

enum class Ending { Whole, Cut, Unreadable };

// Walks a JPEG's segments and scans to its end-of-image marker. Whatever
// follows that marker (a phone's appended video, a maker's trailer) is not
// part of the picture, so a file that carries it is as whole as one that
// ends at the marker.
Ending jpegEnding(QByteArrayView bytes)
{
    const auto *data = reinterpret_cast<const unsigned char *>(bytes.data());
    const qsizetype size = bytes.size();
    qsizetype at = 2;
    while (at < size) {
        if (data[at] != 0xFF)
            return Ending::Unreadable;
        while (at < size && data[at] == 0xFF) // fill bytes before a marker
            ++at;
        if (at >= size)
            return Ending::Cut;
        const unsigned char marker = data[at++];
        if (marker == 0xD9)
            return Ending::Whole;
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7))
            continue; // markers without a length
        if (at + 2 > size)
            return Ending::Cut;
        const qsizetype length = (qsizetype(data[at]) << 8) | data[at + 1];
        if (length < 2)
            return Ending::Unreadable;
        at += length;
        if (marker != 0xDA)
            continue;
        // Entropy-coded data: an 0xFF in it is followed by a stuffed zero or
        // a restart marker; anything else is the next segment's marker.
        for (;;) {
            if (at >= size)
                return Ending::Cut;
            const void *ff = std::memchr(data + at, 0xFF, size_t(size - at));
            if (!ff)
                return Ending::Cut;
            at = static_cast<const unsigned char *>(ff) - data;
            if (at + 1 >= size)
                return Ending::Cut;
            const unsigned char next = data[at + 1];
            if (next == 0x00 || (next >= 0xD0 && next <= 0xD7)) {
                at += 2;
                continue;
            }
            break;
        }
    }
    return Ending::Cut;
}

// Walks a PNG's chunks to IEND; bytes after it are not the picture's.
Ending pngEnding(QByteArrayView bytes)
{
    const auto *data = reinterpret_cast<const unsigned char *>(bytes.data());
    const qsizetype size = bytes.size();
    qsizetype at = 8;
    while (at + 8 <= size) {
        const quint32 length = (quint32(data[at]) << 24) | (quint32(data[at + 1]) << 16)
            | (quint32(data[at + 2]) << 8) | quint32(data[at + 3]);
        if (length > 0x7FFFFFFFu)
            return Ending::Unreadable;
        const qsizetype next = at + 12 + qsizetype(length);
        if (std::memcmp(data + at + 4, "IEND", 4) == 0)
            return next <= size ? Ending::Whole : Ending::Cut;
        at = next;
    }
    return Ending::Cut;
}

} // namespace

bool endsWhole(const QByteArray &bytes)
{
    const bool jpeg = bytes.startsWith("\xFF\xD8\xFF");
    const bool png = bytes.startsWith("\x89PNG\r\n\x1A\n");
    if (!jpeg && !png)
        return true;
    const Ending ending = jpeg ? jpegEnding(bytes) : pngEnding(bytes);
    if (ending != Ending::Unreadable)
        return ending == Ending::Whole;
    // A structure this walk does not follow: judged by how the file ends,
    // zero bytes after the end being padding.
    qsizetype end = bytes.size();
    while (end > 0 && bytes.at(end - 1) == '\0')
        --end;
    const QByteArrayView body(bytes.constData(), end);
    if (jpeg)
        return body.endsWith("\xFF\xD9");
    static const char iend[] = "\0\0\0\0IEND\xAE\x42\x60\x82";
    return body.endsWith(QByteArrayView(iend, sizeof iend - 1));
}

} // namespace vellora
