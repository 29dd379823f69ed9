#include "library/Media.h"
#include "library/SafeNames.h"

#include "platform/AtomicFile.h"
#include "platform/Clock.h"
#include "platform/Digest.h"
#include "platform/FileCopy.h"
#include "platform/ImageIO.h"
#include "platform/Uuid.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QColorSpace>
#include <QPainter>

#include <cerrno>
#include <cstring>

namespace vellora {

namespace {
QString inFolder(const QString &root, const char *folder, const QString &name)
{
    return libraryFilePath(root, QLatin1String(folder), name).value_or(QString());
}

// The extension of a file name as the stored name takes it: the part after the
// last dot, lower-cased; none for "name", "name." and ".hidden".
QString extensionOf(const QString &fileName)
{
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    if (dot <= 0 || dot == fileName.size() - 1)
        return {};
    return fileName.mid(dot + 1).toLower();
}

// A media file replaced whole; false when it could not be, with errno
// saying why (an import names the folder and the reason).
bool writeMediaFile(const QString &path, const QByteArray &bytes, Durability durability)
{
    try {
        writeFileAtomically(path, bytes, durability);
        return true;
    } catch (const FileError &error) {
        errno = error.code();
        return false;
    }
}

bool writeCoverFrom(const QImage &thumbnail, const QString &path)
{
    if (thumbnail.isNull() || path.isEmpty())
        return false;
    const QSize size = fittedSize(thumbnail.size(), kCoverPixelSize);
    const QImage cover = size == thumbnail.size()
        ? thumbnail
        : thumbnail.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    const QByteArray jpeg = encodeJPEG(cover, kCoverQuality);
    return !jpeg.isEmpty() && writeMediaFile(path, jpeg, Durability::Atomic);
}

// Thumbnails and covers have no alpha: a transparent picture is shown on the
// window's own grey, as it looks in the grid, not on a white card.
QImage onDisplayBackground(const QImage &image)
{
    if (!image.hasAlphaChannel())
        return image;
    QImage flat(image.size(), QImage::Format_RGB32);
    flat.setColorSpace(image.colorSpace());
    flat.fill(kDisplayBackground);
    QPainter painter(&flat);
    painter.drawImage(0, 0, image);
    painter.end();
    return flat;
}

QImage thumbnailOf(const QImage &image)
{
    const QSize size = fittedSize(image.size(), kThumbnailPixelSize);
    return size == image.size() ? image : image.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}
} // namespace

QString originalPath(const QString &root, const QString &name) { return inFolder(root, "originals", name); }
QString thumbnailPath(const QString &root, const QString &name) { return inFolder(root, "thumbnails", name); }
QString coverPath(const QString &root, const QString &name) { return inFolder(root, "covers", name); }
QString faviconPath(const QString &root, const QString &name) { return inFolder(root, "favicons", name); }

QString storageCapLabel(qint64 megabytes)
{
    if (megabytes == 0)
        return QStringLiteral("Unlimited");
    if (megabytes > 999)
        return QString::number(megabytes / 1000) + QStringLiteral(" GB");
    return QString::number(megabytes) + QStringLiteral(" MB");
}

std::optional<Item> makeItem(const QString &root, const QString &file, const QString &collectionId,
                             const ContentAdmission &admission, LinkPolicy links, ImportProblem *problem)
{
    const auto report = [problem](ImportProblem::Kind kind, const QString &detail = {}) -> std::optional<Item> {
        if (problem)
            *problem = ImportProblem{kind, detail};
        return std::nullopt;
    };
    IntakeError why;
    const auto source = IntakeFile::open(file, links, kMaxPictureBytes, &why);
    if (!source) {
        const bool tooLarge = why.kind == IntakeError::Kind::TooLarge;
        return report(tooLarge ? ImportProblem::TooLarge : ImportProblem::Unreadable, why.text);
    }
    // The header first: a file that is no picture is not read whole.
    const auto head = source->head(64);
    if (!head)
        return report(ImportProblem::Unreadable);
    if (!looksLikePicture(*head))
        return report(ImportProblem::NotAPicture);
    const auto read = source->readAll();
    if (!read)
        return report(ImportProblem::Unreadable);
    const QByteArray &bytes = *read;

    PictureRefusal refusal;
    const std::optional<ImageInfo> info = pictureHeader(bytes, &refusal);
    if (!info)
        return report(refusal.kind == PictureRefusal::TooLarge ? ImportProblem::TooLarge : ImportProblem::NotAPicture,
                      refusal.detail);

    const QString hash = sha256Hex(sha256(bytes));
    if (!admission.admit(hash))
        return report(ImportProblem::Duplicate);

    // From here on the hash is held: every way out that makes no item gives it
    // back and leaves no file of this item behind.
    QStringList written;
    const auto fail = [&](ImportProblem::Kind kind, const QString &detail = {}) -> std::optional<Item> {
        for (const QString &path : written)
            QFile::remove(path);
        if (admission.withdraw)
            admission.withdraw(hash);
        return report(kind, detail);
    };
    const auto writeFailed = [&](const char *folder) {
        return fail(ImportProblem::WriteFailed,
                    QLatin1String(folder) + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno)));
    };

    const QImage thumbnail = onDisplayBackground(pictureForThumbnail(bytes));
    if (thumbnail.isNull())
        return fail(ImportProblem::NotAPicture);

    const QFileInfo fileInfo(file);
    Item item;
    item.id = newUUIDString();
    item.kind = QStringLiteral("image");
    item.originalFilename = fileInfo.fileName();
    const QString extension = extensionOf(item.originalFilename);
    item.storedFilename = item.id + QLatin1Char('.') + (extension.isEmpty() ? QStringLiteral("png") : extension);
    item.thumbnailFilename = item.id + QStringLiteral(".jpg");
    item.pixelWidth = info->displayedWidth();
    item.pixelHeight = info->displayedHeight();
    item.contentHash = hash;
    item.dateAdded = now();
    const QDateTime born = fileInfo.birthTime();
    item.dateCreated = born.isValid() ? referenceSeconds(born) : item.dateAdded;
    item.collectionIds = QStringList{collectionId};
    item.fileSize = qint64(bytes.size());

    // A stored name is the id and an extension from the file's name; a
    // strange extension (too long, a backslash) makes it unusable.
    const QString original = originalPath(root, item.storedFilename);
    if (original.isEmpty())
        return fail(ImportProblem::NotAPicture);
    // The original is the one file nothing can make again: on disk before
    // the item can be saved into the library.
    if (!writeMediaFile(original, bytes, Durability::Synced))
        return writeFailed("originals");
    written << original;

    const QString thumbnailFile = thumbnailPath(root, item.thumbnailFilename);
    const QByteArray thumbnailJpeg = encodeJPEG(thumbnail, kThumbnailQuality);
    if (thumbnailJpeg.isEmpty())
        return fail(ImportProblem::NotAPicture);
    if (!writeMediaFile(thumbnailFile, thumbnailJpeg, Durability::Atomic))
        return writeFailed("thumbnails");
    written << thumbnailFile;

    // The cover is made from the thumbnail in hand, as it would be from the
    // thumbnail file, without decoding it again.
    const QString coverFile = coverPath(root, item.thumbnailFilename);
    if (!writeCoverFrom(thumbnail, coverFile))
        return writeFailed("covers");
    return item;
}

bool writeCover(const QString &root, const QString &thumbnailFilename)
{
    const QString thumbnail = thumbnailPath(root, thumbnailFilename);
    if (thumbnail.isEmpty())
        return false;
    return writeCoverFrom(downsampledImage(thumbnail, kCoverPixelSize), coverPath(root, thumbnailFilename));
}

std::optional<StoredImage> storeImage(const QString &root, const QImage &image, const Item &item)
{
    if (image.isNull())
        return std::nullopt;
    const QString original = originalPath(root, item.storedFilename);
    const QString thumbnailFile = thumbnailPath(root, item.thumbnailFilename);
    if (original.isEmpty() || thumbnailFile.isEmpty())
        return std::nullopt;
    const QByteArray png = encodePNG(image);
    if (png.isEmpty() || !writeMediaFile(original, png, Durability::Synced))
        return std::nullopt;
    // The PNG is lossless: the image in hand is what decoding it again gives.
    const QImage thumbnail = onDisplayBackground(thumbnailOf(image));
    const QByteArray jpeg = encodeJPEG(thumbnail, kThumbnailQuality);
    if (jpeg.isEmpty() || !writeMediaFile(thumbnailFile, jpeg, Durability::Atomic))
        return std::nullopt;
    writeCoverFrom(thumbnail, coverPath(root, item.thumbnailFilename));
    StoredImage stored;
    stored.pixelWidth = image.width();
    stored.pixelHeight = image.height();
    stored.fileSize = QFileInfo(original).size();
    return stored;
}

std::optional<QString> exportFile(const QString &root, const Item &item)
{
    if (!isSafePathComponent(item.id) || !isSafePathComponent(item.originalFilename))
        return std::nullopt;
    const QString source = originalPath(root, item.storedFilename);
    if (source.isEmpty())
        return std::nullopt;
    const QString folder = QDir::tempPath() + QStringLiteral("/Vellora/") + item.id;
    const QString target = folder + QLatin1Char('/') + item.originalFilename;
    if (QFileInfo::exists(target))
        return target;
    QDir().mkpath(folder);
    cloneOrCopyFile(source, target);
    return target;
}

} // namespace vellora
