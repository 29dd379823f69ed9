#include "ContentLabels.h"

#include "platform/Defaults.h"
#include "platform/Logging.h"

#include <QFile>
#include <QFileInfo>

#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect.hpp>

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace vellora {

namespace {

// Detection works on a picture of this size: faces smaller than a
// sixteenth of its shorter side are not what a picture shows.
constexpr int kDetectSide = 512;
constexpr double kMinProbability = 0.3;
constexpr int kMaxClassifierLabels = 5;

void keepOpenCvSerial()
{
    // The analysis runs one worker per core; OpenCV must not add threads of its own.
    static std::once_flag once;
    std::call_once(once, [] { cv::setNumThreads(1); });
}

struct Cascades {
    cv::CascadeClassifier face;
    cv::CascadeClassifier faceAgain;
    cv::CascadeClassifier faceThird;
    cv::CascadeClassifier cat;
    cv::CascadeClassifier catAgain;
    bool faces = false;
    bool cats = false;

    Cascades()
    {
        const QString folder = cascadeFolder();
        if (folder.isEmpty())
            return;
        auto load = [&folder](cv::CascadeClassifier &cascade, const char *name) {
            try {
                return cascade.load(QFile::encodeName(folder + QLatin1Char('/') + QLatin1String(name)).toStdString());
            } catch (const cv::Exception &) {
                return false;
            }
        };
        auto loadLbp = [&folder](cv::CascadeClassifier &cascade, const char *name) {
            try {
                return cascade.load(
                    QFile::encodeName(folder + QStringLiteral("/../lbpcascades/") + QLatin1String(name)).toStdString());
            } catch (const cv::Exception &) {
                return false;
            }
        };
        faces = load(face, "haarcascade_frontalface_default.xml") && load(faceAgain, "haarcascade_frontalface_alt2.xml")
            && loadLbp(faceThird, "lbpcascade_frontalface_improved.xml");
        cats = load(cat, "haarcascade_frontalcatface_extended.xml") && load(catAgain, "haarcascade_frontalcatface.xml");
    }
};

Cascades &threadCascades()
{
    thread_local Cascades cascades;
    return cascades;
}

cv::Mat rgbMat(const QImage &image)
{
    const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
    cv::Mat view(rgb.height(), rgb.width(), CV_8UC3, const_cast<uchar *>(rgb.constBits()), size_t(rgb.bytesPerLine()));
    return view.clone();
}

// What one cascade found: grouped boxes, each with the number of
// neighbouring windows that make it up.
struct Finds {
    std::vector<cv::Rect> boxes;
    std::vector<int> windows;
};

Finds detect(cv::CascadeClassifier &cascade, const cv::Mat &grey, int minSide)
{
    // Every group of at least two windows is kept: how many there were is
    // the evidence, weighed below rather than cut off here.
    Finds found;
    cascade.detectMultiScale(grey, found.boxes, found.windows, 1.1, 1, 0, cv::Size(minSide, minSide));
    return found;
}

bool sharePlace(const cv::Rect &a, const cv::Rect &b)
{
    return (a & b).area() > 0.4 * std::min(a.area(), b.area());
}

// The most windows a find of `other` has at the place of `box`; 0 when it
// found nothing there.
int windowsAt(const cv::Rect &box, const Finds &other)
{
    int most = 0;
    for (size_t i = 0; i < other.boxes.size(); ++i)
        if (sharePlace(box, other.boxes[i]))
            most = std::max(most, other.windows[i]);
    return most;
}

double confidenceOf(int windows)
{
    return windows <= 0 ? 0.0 : windows / (windows + 10.0);
}

// For each box of `first`, the windows all cascades agree on there (the
// smallest count among them), or 0 when that gives less than `floor`. Later
// cascades run only while there is still something to agree with.
std::vector<int> agreement(const Finds &first, std::initializer_list<cv::CascadeClassifier *> others,
                           const cv::Mat &grey, int minSide, double floor)
{
    std::vector<int> agreed = first.windows;
    auto dropWeak = [&agreed, floor] {
        for (int &n : agreed)
            if (confidenceOf(n) < floor)
                n = 0;
    };
    dropWeak();
    for (cv::CascadeClassifier *cascade : others) {
        if (std::none_of(agreed.begin(), agreed.end(), [](int n) { return n > 0; }))
            break;
        const Finds found = detect(*cascade, grey, minSide);
        for (size_t i = 0; i < agreed.size(); ++i)
            agreed[i] = std::min(agreed[i], windowsAt(first.boxes[i], found));
        dropWeak();
    }
    return agreed;
}

struct Classifier {
    QString modelPath;
    qint64 modelStamp = 0;
    cv::dnn::Net net;
    QStringList names;
    cv::Size inputSize{224, 224};
    bool usable = false;
};

QStringList readNames(const QString &path)
{
    QFile file(path);
    // A list of names is small; anything larger is not one.
    if (!file.open(QIODevice::ReadOnly) || file.size() > 4 * 1024 * 1024)
        return {};
    QStringList names;
    for (const QByteArray &line : file.readAll().split('\n'))
        names << QString::fromUtf8(line).trimmed();
    while (!names.isEmpty() && names.last().isEmpty())
        names.removeLast();
    return names;
}

Classifier &threadClassifier(const ClassifierFiles &files)
{
    thread_local Classifier classifier;
    const QFileInfo info(files.model);
    const qint64 stamp = info.exists() ? info.lastModified().toMSecsSinceEpoch() ^ info.size() : 0;
    if (classifier.modelPath == files.model && classifier.modelStamp == stamp && !classifier.names.isEmpty())
        return classifier;
    classifier = Classifier{};
    classifier.modelPath = files.model;
    classifier.modelStamp = stamp;
    classifier.names = readNames(files.labels);
    if (!info.isFile() || classifier.names.isEmpty())
        return classifier;
    try {
        classifier.net = cv::dnn::readNetFromONNX(QFile::encodeName(files.model).toStdString());
        classifier.usable = !classifier.net.empty();
    } catch (const cv::Exception &error) {
        qCWarning(lcAnalysis, "classifier: %s cannot be read: %s", qPrintable(files.model), error.what());
    }
    return classifier;
}

} // namespace

ClassifierFiles classifierFromSettings()
{
    Defaults &defaults = Defaults::standard();
    return {defaults.string(QString::fromLatin1(kImageClassifierModelKey)).trimmed(),
            defaults.string(QString::fromLatin1(kImageClassifierLabelsKey)).trimmed()};
}

QString cascadeFolder()
{
    for (const char *folder : {"/usr/share/opencv4/haarcascades", "/usr/share/opencv/haarcascades"})
        if (QFileInfo(QString::fromLatin1(folder) + QStringLiteral("/haarcascade_frontalface_default.xml")).isFile())
            return QString::fromLatin1(folder);
    return {};
}

DetectorConfidence detectorConfidence(const QImage &image, const DetectorConfidence &floor)
{
    if (image.isNull())
        return {};
    keepOpenCvSerial();
    Cascades &cascades = threadCascades();
    if (!cascades.faces && !cascades.cats)
        return {};
    DetectorConfidence confidence;
    try {
        cv::Mat rgb = rgbMat(image);
        const double scale = std::min(1.0, double(kDetectSide) / std::max(rgb.cols, rgb.rows));
        if (scale < 1.0)
            cv::resize(rgb, rgb, cv::Size(), scale, scale, cv::INTER_AREA);
        cv::Mat grey;
        cv::cvtColor(rgb, grey, cv::COLOR_RGB2GRAY);
        cv::equalizeHist(grey, grey);
        const int minSide = std::max(24, std::min(grey.cols, grey.rows) / 16);
        if (std::min(grey.cols, grey.rows) < minSide)
            return {};
        Finds faces;
        if (cascades.faces) {
            // Two Haar cascades share their blind spots (a leaf's veins, blinds
            // across a window): the local-binary-pattern one must agree too.
            faces = detect(cascades.face, grey, minSide);
            const std::vector<int> agreed
                = agreement(faces, {&cascades.faceAgain, &cascades.faceThird}, grey, minSide, floor.face);
            for (int n : agreed)
                confidence.face = std::max(confidence.face, confidenceOf(n));
        }
        if (cascades.cats) {
            Finds cats = detect(cascades.cat, grey, minSide);
            // A cat's face where the human face cascade fires at all is a person.
            for (size_t i = 0; i < cats.boxes.size(); ++i)
                if (windowsAt(cats.boxes[i], faces) > 0)
                    cats.windows[i] = 0;
            for (int n : agreement(cats, {&cascades.catAgain}, grey, minSide, floor.cat))
                confidence.cat = std::max(confidence.cat, confidenceOf(n));
        }
    } catch (const cv::Exception &error) {
        qCWarning(lcAnalysis, "detectors: %s", error.what());
        return {};
    }
    return confidence;
}

QStringList labelsFor(const DetectorConfidence &confidence)
{
    QStringList labels;
    if (confidence.face >= kFaceLabelConfidence)
        labels << QStringLiteral("face") << QStringLiteral("person");
    if (confidence.cat >= kCatLabelConfidence)
        labels << QStringLiteral("cat");
    return labels;
}

QStringList detectedLabels(const QImage &image)
{
    // Finds too weak for a label need no confirming.
    return labelsFor(detectorConfidence(image, {kFaceLabelConfidence, kCatLabelConfidence}));
}

QStringList classifierLabels(const QImage &image, const ClassifierFiles &files)
{
    if (image.isNull() || !files.isSet())
        return {};
    keepOpenCvSerial();
    Classifier &classifier = threadClassifier(files);
    if (!classifier.usable)
        return {};
    try {
        cv::Mat rgb = rgbMat(image);
        cv::Mat input;
        cv::resize(rgb, input, classifier.inputSize, 0, 0, cv::INTER_AREA);
        input.convertTo(input, CV_32FC3, 1.0 / 255.0);
        cv::subtract(input, cv::Scalar(0.485, 0.456, 0.406), input);
        cv::divide(input, cv::Scalar(0.229, 0.224, 0.225), input);
        classifier.net.setInput(cv::dnn::blobFromImage(input));
        cv::Mat scores = classifier.net.forward().reshape(1, 1);
        scores.convertTo(scores, CV_32F);
        std::vector<float> p(scores.begin<float>(), scores.end<float>());
        // Raw scores become probabilities; probabilities stay as they are.
        float sum = 0, lowest = 0;
        for (float v : p) {
            sum += v;
            lowest = std::min(lowest, v);
        }
        if (lowest < 0 || std::abs(sum - 1.0f) > 0.01f) {
            const float top = *std::max_element(p.begin(), p.end());
            float total = 0;
            for (float &v : p)
                total += (v = std::exp(v - top));
            for (float &v : p)
                v /= total;
        }
        std::vector<int> order(p.size());
        for (size_t i = 0; i < order.size(); ++i)
            order[i] = int(i);
        std::stable_sort(order.begin(), order.end(), [&p](int a, int b) { return p[a] > p[b]; });
        QStringList labels;
        for (int i : order) {
            if (p[i] < kMinProbability || labels.size() >= kMaxClassifierLabels)
                break;
            const QString name = classifier.names.value(i);
            if (!name.isEmpty() && !labels.contains(name))
                labels << name;
        }
        return labels;
    } catch (const cv::Exception &error) {
        qCWarning(lcAnalysis, "classifier: %s", error.what());
        classifier.usable = false;
        return {};
    }
}

} // namespace vellora
