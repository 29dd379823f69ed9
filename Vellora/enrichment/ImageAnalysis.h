#pragma once
// Labels and recognised text of a picture.
//
// Labels name what a picture shows, and only what a detector or the user's
// classifier backs (see ContentLabels.h); the picture's shape and tone are
// no labels (a search finds colours through the palette). The labels, in the
// order they are given:
//   "text"         the picture holds at least two recognised words
//   "face", "person", "cat"   from the detectors
//   the classifier's labels, when the user named one
// A picture none of them recognises has no labels.
// The recognised text is the picture's text lines joined with "\n", read in
// the languages the user picked (TextRecognizer.h).

#include "ContentLabels.h"

#include <QImage>
#include <QString>
#include <QStringList>
#include <optional>

namespace vellora {

struct ImageAnalysis {
    QStringList labels;
    QString text;
};

// What the analysis takes from the settings, read on the main thread and
// handed to the workers.
struct AnalysisSettings {
    QString languages; // as TextRecognizer::languagesFor() gives them; empty: English
    ClassifierFiles classifier;
    // Look first (TextDetector.h) and leave out the text engine on a picture
    // without strokes, and the face and cat detectors on one without any
    // detail. Off, every picture goes through all of them.
    bool detectFirst = true;
};
AnalysisSettings analysisSettingsFromDefaults();

// Labels and text of a decoded picture, as its tile would show it.
ImageAnalysis analyzeDecodedImage(const QImage &image, const AnalysisSettings &settings = {});

// Labels and text of the thumbnail at `path`. None when it is missing or
// does not decode yet: the caller tries again later rather than recording
// empty labels and text.
std::optional<ImageAnalysis> analyzeImage(const QString &path, const AnalysisSettings &settings = {});

} // namespace vellora
