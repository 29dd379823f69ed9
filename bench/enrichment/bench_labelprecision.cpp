// How precise the detector labels are on real pictures, and where their
// confidence thresholds come from.
// Run: build/bench/enrichment/bench_labelprecision
//
// Over the labelled pictures of tests/data/labelled/ (thumbnails, as the
// analysis reads them) it prints, for every threshold from 0.05 to 0.95, each
// label's precision and recall; the threshold each label would get by the
// rule the built-in ones follow (the lowest at which precision is at least
// 0.95 there and at every higher threshold that still gives the label); and
// the table at the built-in thresholds. The pictures a label is wrong on go
// to stderr.

#include "LabelledPictures.h"

#include "enrichment/AnalysisImage.h"
#include "enrichment/ContentLabels.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>
#include <map>

using namespace vellora;

namespace {

constexpr double kPrecisionWanted = 0.95;

struct Scored {
    QString file;
    QSet<QString> labels;
    DetectorConfidence confidence;
};

double confidenceFor(const DetectorConfidence &c, const QString &label)
{
    return label == QLatin1String("cat") ? c.cat : c.face;
}

fixtures::LabelScore scoreAt(const QList<Scored> &set, const QString &label, double threshold)
{
    fixtures::LabelScore score;
    for (const Scored &s : set) {
        const bool shows = s.labels.contains(label);
        const bool given = confidenceFor(s.confidence, label) >= threshold;
        score.shown += shows;
        score.given += given;
        score.right += shows && given;
    }
    return score;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QList<fixtures::LabelledPicture> pictures = fixtures::labelledPictures();
    if (pictures.isEmpty()) {
        std::fprintf(stderr, "no labelled pictures under %s\n", qPrintable(fixtures::labelledFolder()));
        return 1;
    }
    if (cascadeFolder().isEmpty()) {
        std::fprintf(stderr, "opencv-data is not installed\n");
        return 1;
    }
    QList<Scored> set;
    for (const fixtures::LabelledPicture &p : pictures) {
        const QImage image = fixtures::readLabelled(p);
        if (image.isNull()) {
            std::fprintf(stderr, "%s does not decode\n", qPrintable(p.file));
            return 1;
        }
        set << Scored{p.file.section(u'/', -1), p.labels, detectorConfidence(asShownOnTile(image))};
    }
    // What the analysis pays per picture: the labels alone, where weak
    // finds are not confirmed.
    QElapsedTimer timer;
    timer.start();
    for (const fixtures::LabelledPicture &p : pictures)
        detectedLabels(asShownOnTile(fixtures::readLabelled(p)));
    const double msPerPicture = double(timer.elapsed()) / pictures.size();
    int withAny = 0;
    for (const Scored &s : set)
        withAny += !s.labels.isEmpty();
    std::printf("%lld labelled pictures: %d show a face, a person or a cat, %lld none of them\n\n",
                qlonglong(set.size()), withAny, qlonglong(set.size() - withAny));

    std::printf("threshold");
    for (const QString &label : fixtures::kDetectorLabels)
        std::printf(" | %-6s given right prec  recall", qPrintable(label));
    std::printf("\n");
    // Walking down from the top, a label's threshold falls while its
    // precision holds; none when no threshold gives it.
    std::map<QString, double> chosen;
    std::map<QString, bool> holds;
    for (const QString &label : fixtures::kDetectorLabels)
        holds[label] = true;
    for (int step = 19; step >= 1; --step) {
        const double threshold = step * 0.05;
        std::printf("   %.2f  ", threshold);
        for (const QString &label : fixtures::kDetectorLabels) {
            const fixtures::LabelScore s = scoreAt(set, label, threshold);
            std::printf(" | %-6s %5d %5d %5.3f %6.3f", "", s.given, s.right, s.precision(), s.recall());
            if (s.given > 0 && s.precision() < kPrecisionWanted)
                holds[label] = false;
            if (s.given > 0 && holds[label])
                chosen[label] = threshold;
        }
        std::printf("\n");
    }

    std::printf("\nthreshold by the rule, and the built-in one:\n");
    const std::map<QString, double> builtIn{{QStringLiteral("face"), kFaceLabelConfidence},
                                            {QStringLiteral("person"), kFaceLabelConfidence},
                                            {QStringLiteral("cat"), kCatLabelConfidence}};
    for (const QString &label : fixtures::kDetectorLabels)
        if (chosen.count(label))
            std::printf("  %-6s %.2f  built in %.2f\n", qPrintable(label), chosen[label], builtIn.at(label));
        else
            std::printf("  %-6s none  built in %.2f\n", qPrintable(label), builtIn.at(label));

    std::printf("\nat the built-in thresholds:\n");
    std::printf("  label  pictures showing it  given  right  precision  recall\n");
    for (const QString &label : fixtures::kDetectorLabels) {
        const fixtures::LabelScore s = scoreAt(set, label, builtIn.at(label));
        std::printf("  %-6s %19d  %5d  %5d  %9.3f  %6.3f\n", qPrintable(label), s.shown, s.given, s.right,
                    s.precision(), s.recall());
    }
    std::printf("\ndetector labels: %.1f ms per picture (decoding included)\n", msPerPicture);
    std::fflush(stdout);
    for (const Scored &s : set) {
        const QStringList given = labelsFor(s.confidence);
        for (const QString &label : fixtures::kDetectorLabels) {
            const bool shows = s.labels.contains(label), labelled = given.contains(label);
            if (shows != labelled)
                std::fprintf(stderr, "%s %s: %s (face %.3f, cat %.3f)\n", labelled ? "wrong" : "missed",
                             qPrintable(label), qPrintable(s.file), s.confidence.face, s.confidence.cat);
        }
    }
    return 0;
}
