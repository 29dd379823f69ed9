#pragma once
// Labels and recognised text of a picture.
//
// Labels name only what the system can back with a measurement or a
// detector; there is no guessing classifier behind them. The labels, in the
// order they are given:
//   "text"        the picture holds at least two recognised words
//   "monochrome"  practically no colour: a grey or black-and-white picture
//   "colorful"    strongly coloured in three or more clearly different hues
//   "dark"        mostly dark (mean brightness below 20 %)
//   "bright"      mostly light (mean brightness above 85 %)
//   "landscape" / "portrait" / "square"
//                 the picture's shape: wider than 1.1 : 1, taller than 1 : 1.1, or between
// The recognised text is the picture's English text lines joined with "\n".

#include <QImage>
#include <QString>
#include <QStringList>
#include <optional>

namespace vellora {

struct ImageAnalysis {
    QStringList labels;
    QString text;
};

// The labels of the measured facts of `image` (everything but "text").
QStringList measuredLabels(const QImage &image);

// Labels and text of a decoded picture.
ImageAnalysis analyzeDecodedImage(const QImage &image);

// Labels and text of the thumbnail at `path`. None when it is missing or
// does not decode yet: the caller tries again later rather than recording
// empty labels and text.
// With the item's `original`, a picture with transparency is read from it:
// its fully transparent pixels are left out of the measures, and text is
// read on white.
std::optional<ImageAnalysis> analyzeImage(const QString &path, const QString &original = {});

} // namespace vellora
