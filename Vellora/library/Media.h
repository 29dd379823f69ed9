#pragma once
// The files of an image item in the library folder, and how they are made:
//
//   originals/<id>.<ext>   the imported bytes unchanged (for links, a PNG)
//   thumbnails/<id>.jpg    longer side at most 1024 px, orientation applied, quality 0.85
//   covers/<id>.jpg        made from the thumbnail, at most 256 px, quality 0.8
//
// Everything here works on a root folder and touches no store state, so it
// runs on any thread. The store's operations (import, back-fill, export) are
// in LibraryStoreMedia.h.

#include "PictureSizeCap.h"
#include "library/PictureIntake.h"
#include "library/Records.h"

#include "platform/IntakeFile.h"

#include <QImage>
#include <QString>
#include <functional>
#include <optional>

namespace vellora {

inline constexpr double kThumbnailQuality = 0.85;
inline constexpr double kCoverPixelSize = 256;
inline constexpr double kCoverQuality = 0.8;
// What shows through the transparent parts of a picture in its thumbnail and
// cover: the window's background grey (30/255).
inline constexpr QRgb kDisplayBackground = 0xff1e1e1e;

// Where an item's files live under a library root; an empty string when the
// name is not one safe path component (isSafePathComponent, SafeNames.h).
QString originalPath(const QString &root, const QString &storedFilename);
QString thumbnailPath(const QString &root, const QString &thumbnailFilename);
QString coverPath(const QString &root, const QString &thumbnailFilename);
QString faviconPath(const QString &root, const QString &faviconFilename);

// The label of a storage cap in megabytes: "Unlimited", "500 MB", "2 GB".
QString storageCapLabel(qint64 megabytes);

// Decides, for the content hash of a file, whether it may become an item.
struct ContentAdmission {
    // True when the hash is new; it is then held, so no other file with the
    // same content is admitted. Called from worker threads.
    std::function<bool(const QString &contentHash)> admit;
    // Gives back a hash that was admitted but whose files could not be
    // written, so that a later identical file can still be imported.
    std::function<void(const QString &contentHash)> withdraw;
};

// The largest picture file taken in: anything larger is refused before a
// byte of it is read, so no single input holds much memory.
inline constexpr qint64 kMaxPictureBytes = vellora_format::kMaxPictureBytes;

// Why a file gave no item.
struct ImportProblem {
    enum Kind {
        None,
        Unreadable,   // cannot be opened or read; a link, FIFO or device where links are refused
        NotAPicture,  // the header names no picture format, or it does not decode
        TooLarge,     // above kMaxPictureBytes, or above the decoder's pixel budget
        Duplicate,    // the content is already in the library
        WriteFailed,  // the library's own folders could not take the files
    };
    Kind kind = None;
    // For WriteFailed: which file and why ("originals: Permission denied").
    QString detail;
};

// Makes one image item from a picture file: checks the header, reads it
// within kMaxPictureBytes, hashes it, asks the admission, writes the
// original, the thumbnail and the cover. Nothing when the file cannot be
// read, is not a picture, is damaged, is already in the library, or a file
// cannot be written; in the last two cases after admission the partial files
// are removed and the hash is withdrawn. `links` says whether a symbolic link
// at `file` is followed (a file the user named) or refused (a folder we do
// not own); a FIFO or a device is never read. `problem` says why nothing came.
std::optional<Item> makeItem(const QString &root, const QString &file, const QString &collectionId,
                             const ContentAdmission &admission, LinkPolicy links = LinkPolicy::Follow,
                             ImportProblem *problem = nullptr);

// Makes covers/<name> from thumbnails/<name>. True when the cover was written.
bool writeCover(const QString &root, const QString &thumbnailFilename);

struct StoredImage {
    qint64 pixelWidth = 0;
    qint64 pixelHeight = 0;
    qint64 fileSize = 0;
};

// Stores a decoded image as an item's files: the original as PNG, then the
// thumbnail and the cover. Nothing when the original or the thumbnail cannot
// be written (a missing cover does not fail it: the back-fill makes it later).
std::optional<StoredImage> storeImage(const QString &root, const QImage &image, const Item &item);

// The file that other applications get for an image item: a private copy in
// <temp>/Vellora/<id>/<originalFilename>, made once (a reflink where the
// filesystem has them, else a copy; never a hard link, so an editor that saves
// in place cannot change the library's original). Nothing when the names are
// not safe. Copy errors are not reported: the path may name a missing file.
std::optional<QString> exportFile(const QString &root, const Item &item);

} // namespace vellora
