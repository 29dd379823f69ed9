#pragma once
// Picture decoding and encoding: what the library needs to turn a picture file
// into a thumbnail and a cover. JPEG, PNG and the other formats Qt reads go
// through QImageReader (libjpeg-turbo underneath, with its DCT scaling, so a
// large JPEG is never decoded at full size for a thumbnail); HEIC and HEIF
// go through libheif. The EXIF orientation is always applied.
//
// Any thread: nothing here holds shared state.

#include <QByteArray>
#include <QImage>
#include <QString>
#include <optional>

namespace vellora {

// The most pixels decoded at once for a format that cannot decode at a
// smaller size (HEIF): about 200 MB as RGB, with libheif's own planes beside it.
inline constexpr long long kMaxDecodedPixels = 64LL * 1000 * 1000;

struct ImageInfo {
    // Pixel size as stored in the file, before the orientation is applied.
    int pixelWidth = 0;
    int pixelHeight = 0;
    // EXIF orientation, 1 to 8; 1 when the file carries none or its decoder
    // already reports the displayed size (HEIF).
    int orientation = 1;
    // False when decoding it would take more than kMaxDecodedPixels at once
    // (a HEIF picture without an embedded thumbnail); it is then refused.
    bool withinPixelBudget = true;

    // The size as the picture is shown: orientations 5 to 8 turn it a quarter.
    int displayedWidth() const { return orientation >= 5 ? pixelHeight : pixelWidth; }
    int displayedHeight() const { return orientation >= 5 ? pixelWidth : pixelHeight; }
};

// The properties of the first image, read from the header without decoding the
// pixels. Nothing when the bytes are not a picture this system reads, or the
// header carries no size.
std::optional<ImageInfo> imageInfo(const QByteArray &bytes);

// The first image decoded so that its longer side is at most `maxPixelSize`
// (never enlarged), orientation applied. A null image when the file cannot be
// read or decoded. `hdr` asks for high-dynamic-range output where the platform
// has it; here every decode is 8 bits per channel and the flag changes nothing.
QImage downsampledImage(const QString &path, double maxPixelSize, bool hdr = false);
QImage downsampledImage(const QByteArray &bytes, double maxPixelSize, bool hdr = false);

// The size a picture of `size` gets when its longer side is brought down to at
// most `maxPixelSize`; the shorter side rounds to the nearest pixel, at least 1.
QSize fittedSize(QSize size, double maxPixelSize);

// One JPEG image at a lossy quality from 0 to 1; empty when encoding fails.
QByteArray encodeJPEG(const QImage &image, double quality);
// One PNG image without properties; empty when encoding fails.
QByteArray encodePNG(const QImage &image);

} // namespace vellora
