#pragma once
// Labels that name what a picture shows, from detectors that really look at
// content: OpenCV's cascades from Debian's opencv-data (human faces, cat
// faces) and an optional classifier the user supplies as an ONNX file, run
// through OpenCV dnn. A detector is used only where it is right: each one
// below was measured on the desktop pictures of the self-check (which show
// no faces, people or cats) and fires on at most one in twenty of them;
// the upper-body and full-body cascades and the HOG people detector fired
// more often or never on people, and are not used.
//
//   "face", "person"  a human face, found by two Haar face cascades and a
//                     local-binary-pattern one that all agree
//   "cat"             a cat's face, found by two cat cascades that agree, and
//                     not where a human face is (the cat cascades also fire on
//                     people)
//   classifier labels each class of the user's model with a probability of at
//                     least 0.3, most likely first
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

// "face", "person" and "cat" as the detectors find them, in that order.
QStringList detectedLabels(const QImage &image);

// The classifier's labels for the picture; empty without a usable model.
QStringList classifierLabels(const QImage &image, const ClassifierFiles &files);

} // namespace vellora
