#pragma once
// Decoding a thumbnail for analysis. Every analysis reads the thumbnail (a
// JPEG of at most 1024 pixels, the picture as its tile shows it), never the
// full-size original, and most of them want far fewer pixels than that: the
// JPEG decoder scales by 1/2, 1/4 or 1/8 while decoding, which is much
// cheaper than decoding whole and scaling afterwards.

#include <QImage>
#include <QString>
#include <optional>

namespace vellora {

// Decodes `path` with its orientation applied, scaled down (never up) so that
// its longer side is at most `maxSide` pixels (0: no limit), as opaque 32-bit
// RGB; a file with transparency shows the window's grey through it, as its
// tile does. None when the file is missing or does not decode (for instance
// while it is still being written).
std::optional<QImage> decodeAnalysisImage(const QString &path, int maxSide);

// `image` as a tile shows it: opaque, transparent parts on the window's grey.
QImage asShownOnTile(const QImage &image);

} // namespace vellora
