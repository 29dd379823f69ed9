#pragma once
// The dominant colours of a picture: our own deterministic k-means over the
// thumbnail's colours. The same picture always gives the same palette.

#include <QImage>
#include <QString>
#include <QStringList>
#include <optional>

namespace vellora {

// Longest side, in pixels, at which the palette looks at a thumbnail.
inline constexpr int kPaletteSampleSide = 256;

// At most `count` colours of `image` as "#rrggbb" (lower-case hex), heaviest
// cluster first, of the picture as its tile shows it (transparent parts on
// the window's grey). Clusters that hold less than 1 % of the picture are left out
// (the blends along an edge between two colours are no colour of the
// picture), and clusters that end up practically the same colour as a
// heavier one are folded into it, so a picture of two flat colours gives
// two entries.
QStringList paletteFromImage(const QImage &image, int count);

// The palette of the thumbnail at `path`, of what its tile shows. None when
// the file is missing or does not decode yet: the caller tries again later
// rather than recording an empty palette.
std::optional<QStringList> extractPalette(const QString &path, int count);

} // namespace vellora
