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

// Boxes of `first` that a box of `second` covers for the most part.
std::vector<cv::Rect> agreed(const std::vector<cv::Rect> &first, const std::vector<cv::Rect> &second)
{
    std::vector<cv::Rect> out;
    for (const cv::Rect &a : first)
        for (const cv::Rect &b : second)
            if ((a & b).area() > 0.4 * std::min(a.area(), b.area())) {
                out.push_back(a);
                break;
            }
    return out;
}

std::vector<cv::Rect> detect(cv::CascadeClassifier &cascade, const cv::Mat &grey, int neighbours, int minSide)
{
    std::vector<cv::Rect> found;
    cascade.detectMultiScale(grey, found, 1.1, neighbours, 0, cv::Size(minSide, minSide));
    return found;
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

QStringList detectedLabels(const QImage &image)
{
    if (image.isNull())
        return {};
    keepOpenCvSerial();
    Cascades &cascades = threadCascades();
    if (!cascades.faces && !cascades.cats)
        return {};
    QStringList labels;
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
        std::vector<cv::Rect> faces;
        if (cascades.faces) {
            // The second cascade only confirms: without a find of the first
            // there is nothing for it to agree with.
            const std::vector<cv::Rect> first = detect(cascades.face, grey, 6, minSide);
            if (!first.empty())
                faces = agreed(first, detect(cascades.faceAgain, grey, 4, minSide));
            // Two Haar cascades share their blind spots (a leaf's veins, blinds
            // across a window): a cascade of local binary patterns must agree too.
            if (!faces.empty())
                faces = agreed(faces, detect(cascades.faceThird, grey, 3, minSide));
            if (!faces.empty())
                labels << QStringLiteral("face") << QStringLiteral("person");
        }
        if (cascades.cats) {
            const std::vector<cv::Rect> first = detect(cascades.cat, grey, 6, minSide);
            const auto cats = first.empty() ? first : agreed(first, detect(cascades.catAgain, grey, 4, minSide));
            const bool onAFace = std::any_of(cats.begin(), cats.end(), [&faces](const cv::Rect &c) {
                return std::any_of(faces.begin(), faces.end(), [&c](const cv::Rect &f) { return (c & f).area() > 0; });
            });
            if (!cats.empty() && !onAFace)
                labels << QStringLiteral("cat");
        }
    } catch (const cv::Exception &error) {
        qCWarning(lcAnalysis, "detectors: %s", error.what());
        return {};
    }
    return labels;
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
