#pragma once
// Labels that name what a picture shows, from detectors that really look at
// content: OpenCV's cascades from Debian's opencv-data (human faces, cat
// faces) and an optional classifier the user supplies as an ONNX file, run
// through OpenCV dnn.
//
//   "face", "person"  a human face, found by two Haar face cascades and a
//                     local-binary-pattern one that agree on one place
//   "cat"             a cat's face, found by two cat cascades that agree, and
//                     not where a human face cascade fires (the cat cascades
//                     also fire on people)
//   classifier labels each class of the user's model with a probability of at
//                     least 0.3, most likely first
//
// A detector label is given only above its confidence threshold. The
// confidence is how many neighbouring windows each agreeing cascade found at
// the place they agree on (the smallest of their counts, n), as n / (n + 10).
// The thresholds were chosen on the labelled pictures under
// tests/data/labelled/ (real pictures with and without faces, people and
// cats): the lowest at which, on that set, at least 95 in 100 labels given
// are right, at that threshold and every higher one.
// bench/enrichment/bench_labelprecision prints the table they come from.
// The upper-body and full-body cascades and the HOG people detector fired on
// desktop pictures without people more often, or never on people, and are
// not used.
//
// Settings (Defaults::standard()), both needed for the classifier:
//   "imageClassifierModel"   path of an ONNX model: one picture in (1 x 3 x
//                            H x W, RGB scaled to 0...1 then normalised with
//                            the ImageNet mean and deviation), class scores
//                            out (probabilities, or raw scores that are then
//                            turned into probabilities)
//   "imageClassifierLabels"  path of a text file, one class name per line
//
// Every function here may be called on any thread; each thread keeps its
// own detectors.

#include <QImage>
#include <QString>
#include <QStringList>

namespace vellora {

inline constexpr const char *kImageClassifierModelKey = "imageClassifierModel";
inline constexpr const char *kImageClassifierLabelsKey = "imageClassifierLabels";

struct ClassifierFiles {
    QString model;
    QString labels;
    bool isSet() const { return !model.isEmpty() && !labels.isEmpty(); }
};

// The classifier the user named. Main thread (reads the settings).
ClassifierFiles classifierFromSettings();

// The folder of OpenCV's cascades; empty when opencv-data is not installed.
QString cascadeFolder();

// How sure the detectors are that the picture shows a human face (which
// also gives "person") and a cat's face: 0 when they found nothing, towards
// 1 the more they agree. A confidence under its `floor` comes back as 0, and
// the cascades that would only confirm such a weak find are not run.
struct DetectorConfidence {
    double face = 0;
    double cat = 0;
};
DetectorConfidence detectorConfidence(const QImage &image, const DetectorConfidence &floor = {});

// The confidence a detector label needs (see above).
inline constexpr double kFaceLabelConfidence = 0.2;
inline constexpr double kCatLabelConfidence = 0.45;

// The labels those confidences give: "face", "person" and "cat", in that order.
QStringList labelsFor(const DetectorConfidence &confidence);

// "face", "person" and "cat" as the detectors find them, in that order.
QStringList detectedLabels(const QImage &image);

// The classifier's labels for the picture; empty without a usable model.
QStringList classifierLabels(const QImage &image, const ClassifierFiles &files);

} // namespace vellora
