#pragma once
// Decoding a thumbnail for analysis. Every analysis reads the thumbnail (a
// JPEG of at most 1024 pixels), never the full-size original, and most of
// them want far fewer pixels than that: the JPEG decoder scales by 1/2, 1/4
// or 1/8 while decoding, which is much cheaper than decoding whole and
// scaling afterwards.

#include <QImage>
#include <QString>
#include <optional>

namespace vellora {

// Decodes `path` with its orientation applied, scaled down (never up) so that
// its longer side is at most `maxSide` pixels (0: no limit), as opaque 32-bit
// RGB. None when the file is missing or does not decode (for instance while
// it is still being written).
std::optional<QImage> decodeAnalysisImage(const QString &path, int maxSide);

// The picture of `original` scaled as above, as 32-bit ARGB, but only when
// the file carries transparency (the thumbnail has lost it: its transparent
// parts show the window's grey). None for opaque, missing or oversized
// files: the caller reads the thumbnail then.
std::optional<QImage> decodeTransparentOriginal(const QString &original, int maxSide);

// Where a picture with transparency is analysed from: its original when it
// has transparency, else `thumbnail` as decodeAnalysisImage reads it.
std::optional<QImage> decodeAnalysisSource(const QString &thumbnail, const QString &original, int maxSide);

} // namespace vellora
