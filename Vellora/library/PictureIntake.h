#pragma once
// Which bytes the library takes in as a picture. The file import decides by
// this, and so does the share program before it writes a drop, so that it
// never reports "Added to Vellora" for a picture the import then refuses.
// It stands apart from the rest of the library for that program, which
// links it alone.
//
// Any thread: nothing here holds shared state.

#include "platform/ImageIO.h"

#include <QByteArray>
#include <QImage>
#include <QString>

#include <optional>

namespace vellora {

// The longer side of an item's thumbnail, at most: a picture is decoded at
// this size when it is taken in.
inline constexpr double kThumbnailPixelSize = 1024;

// True when the first bytes of a file name a picture format this system reads.
bool looksLikePicture(const QByteArray &head);

// Why bytes are not taken in.
struct PictureRefusal {
    enum Kind {
        NotAPicture, // no picture format read here, no size in its header, or it does not decode
        TooLarge,    // above the decoder's pixel budget (kMaxDecodedPixels)
    };
    Kind kind = NotAPicture;
    // For TooLarge: "<width> x <height> pixels".
    QString detail;
};

// The first check, from the header alone: a format this system reads, with
// a size, that can be decoded within the pixel budget. Its properties, or
// nothing (with the reason).
std::optional<ImageInfo> pictureHeader(const QByteArray &bytes, PictureRefusal *why = nullptr);

// The second: the picture decoded for its thumbnail, at most
// kThumbnailPixelSize on its longer side. Null when it does not decode.
QImage pictureForThumbnail(const QByteArray &bytes);

// Both checks: why the bytes would not be taken in, or nothing when they
// would be.
std::optional<PictureRefusal> pictureRefusal(const QByteArray &bytes);

} // namespace vellora
