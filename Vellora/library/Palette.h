#pragma once
// Colour tests on stored palettes ("#rrggbb" strings). Pure.

#include <QString>
#include <QStringList>

namespace vellora {

struct HSB {
    double hue = 0.0;        // fraction, 0 up to 1
    double saturation = 0.0; // 0 to 1
    double brightness = 0.0; // 0 to 1
};

// Hue, saturation and brightness of an sRGB colour given as 0...1
// components; a colour without chroma has hue 0.
HSB hsbFromRGB(double red, double green, double blue);

// Reads text as a signed 64-bit integer in base 16: an optional "+" or "-",
// then at least one digit in either case, nothing else. Anything else, or an
// overflow, reads as 0.
qint64 parseHexInteger(QStringView text);

// True when some colour of the palette has saturation above 0.25, brightness
// above 0.2 and a hue within `tolerance` degrees of `hue`, measured the short
// way round the colour circle (the boundary matches). Each entry loses its
// first character before the rest is read as hexadecimal; an entry that does
// not read counts as black.
bool paletteMatchesHue(const QStringList &palette, double hue, double tolerance);

} // namespace vellora
