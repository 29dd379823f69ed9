#include "Palette.h"

#include <QTextBoundaryFinder>

#include <algorithm>
#include <cmath>
#include <limits>

namespace vellora {

HSB hsbFromRGB(double red, double green, double blue)
{
    const double maxC = std::max({red, green, blue});
    const double minC = std::min({red, green, blue});
    const double delta = maxC - minC;
    HSB out;
    out.brightness = maxC;
    out.saturation = maxC > 0.0 ? delta / maxC : 0.0;
    if (delta <= 0.0)
        return out;
    double h;
    if (maxC == red)
        h = (green - blue) / delta;
    else if (maxC == green)
        h = 2.0 + (blue - red) / delta;
    else
        h = 4.0 + (red - green) / delta;
    h /= 6.0;
    if (h < 0.0)
        h += 1.0;
    if (h >= 1.0)
        h -= 1.0;
    out.hue = h;
    return out;
}

qint64 parseHexInteger(QStringView text)
{
    qsizetype i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    if (i == text.size())
        return 0;
    // Accumulate as a negative number so that the most negative value fits.
    constexpr qint64 minValue = std::numeric_limits<qint64>::min();
    qint64 acc = 0;
    for (; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        int digit;
        if (c >= u'0' && c <= u'9')
            digit = c - u'0';
        else if (c >= u'a' && c <= u'f')
            digit = c - u'a' + 10;
        else if (c >= u'A' && c <= u'F')
            digit = c - u'A' + 10;
        else
            return 0;
        if (acc < minValue / 16)
            return 0;
        acc *= 16;
        if (acc < minValue + digit)
            return 0;
        acc -= digit;
    }
    if (!negative) {
        if (acc == minValue)
            return 0;
        return -acc;
    }
    return acc;
}

namespace {

// The text after its first user-perceived character. The palette strings
// are ASCII, so the grapheme search only runs for unusual input.
QStringView afterFirstCharacter(const QString &text)
{
    if (text.isEmpty())
        return {};
    const QChar first = text.at(0);
    const bool simple = first.unicode() < 0x80 && first != u'\r'
        && (text.size() == 1 || text.at(1).unicode() < 0x80);
    if (simple)
        return QStringView(text).mid(1);
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    const qsizetype next = finder.toNextBoundary();
    return next < 0 ? QStringView() : QStringView(text).mid(next);
}

} // namespace

bool paletteMatchesHue(const QStringList &palette, double hue, double tolerance)
{
    for (const QString &entry : palette) {
        const quint64 value = quint64(parseHexInteger(afterFirstCharacter(entry)));
        const double red = double((value >> 16) & 0xff) / 255.0;
        const double green = double((value >> 8) & 0xff) / 255.0;
        const double blue = double(value & 0xff) / 255.0;
        const HSB hsb = hsbFromRGB(red, green, blue);
        if (!(hsb.saturation > 0.25 && hsb.brightness > 0.2))
            continue;
        const double d = std::fmod(std::fabs(hsb.hue * 360.0 - hue), 360.0);
        const double distance = std::min(d, 360.0 - d);
        if (distance <= tolerance)
            return true;
    }
    return false;
}

} // namespace vellora
