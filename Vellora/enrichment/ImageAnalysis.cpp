#include "ImageAnalysis.h"

#include "AnalysisImage.h"
#include "TextDetector.h"
#include "platform/TextRecognizer.h"

#include <QRegularExpression>

namespace vellora {

namespace {

// Of the words the engine reads, those it is at least this sure of: what its
// own command prints, less the guesses. Lower lets texture through as words.
constexpr float kWordConfidence = 30.0f;

int wordCount(const QString &text)
{
    static const QRegularExpression word(QStringLiteral("[\\p{L}\\p{N}]{2,}"));
    int count = 0;
    auto it = word.globalMatch(text);
    while (it.hasNext()) {
        it.next();
        ++count;
    }
    return count;
}

} // namespace

AnalysisSettings analysisSettingsFromDefaults()
{
    return {TextRecognizer::languagesFromSettings(), classifierFromSettings()};
}

ImageAnalysis analyzeDecodedImage(const QImage &source, const AnalysisSettings &settings)
{
    const QImage image = asShownOnTile(source);
    ImageAnalysis result;
    // A picture without text still gets its empty text: that marks it done.
    const TextDetection look = settings.detectFirst ? detectText(image) : TextDetection{true, false};
    if (look.likelyText) {
        const QStringList lines = TextRecognizer::recognizeLines(image, kWordConfidence, settings.languages);
        result.text = lines.join(QLatin1Char('\n'));
    }
    if (wordCount(result.text) >= 2)
        result.labels << QStringLiteral("text");
    if (!look.featureless)
        result.labels << detectedLabels(image);
    for (const QString &label : classifierLabels(image, settings.classifier))
        if (!result.labels.contains(label))
            result.labels << label;
    return result;
}

std::optional<ImageAnalysis> analyzeImage(const QString &path, const AnalysisSettings &settings)
{
    // A thumbnail is at most 1024 pixels and text needs all of them; the cap
    // only guards against a full-size picture standing in for one.
    const std::optional<QImage> image = decodeAnalysisImage(path, 2048);
    if (!image)
        return std::nullopt;
    return analyzeDecodedImage(*image, settings);
}

} // namespace vellora
