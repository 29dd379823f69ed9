// Text found in screenshots, against the Tesseract command on the same
// thumbnail upscaled twice (what the engine reads best without any help),
// and text invented on photographs without any.
// Run: build/bench/enrichment/bench_textrecall
// Needs the `tesseract` command (Debian's tesseract-ocr) for the reference;
// without it the recall is left out. The per-picture figures go to stderr.
// VELLORA_BENCH_CACHE names a folder that keeps the command's answers
// between runs (the pictures are the same every run).
//
// The screenshots: the test screenshots (desktop windows, 13-18 px type),
// and captures of a code editor, a terminal and a page of small print in
// 11-13 px type, light and dark, at 1300 x 900, 1440 x 900 and 1920 x 1080,
// each made into a thumbnail as the import makes it.

#include "AnalysisFixtures.h"

#include "enrichment/ImageAnalysis.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QHash>
#include <QImageReader>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

#include <ctime>

using namespace vellora;

namespace {

QTemporaryDir *g_dir = nullptr;

struct Picture {
    QString name;
    QString thumbnail; // the JPEG thumbnail the analysis reads
};

// Thumbnails are written as the import writes them: at most 1024 pixels, JPEG 85.
QString writeThumbnail(const QImage &picture, const QString &name)
{
    const QString path = g_dir->filePath(name + QStringLiteral(".jpg"));
    fixtures::saveJpeg(fixtures::asThumbnail(picture), path, 85);
    return path;
}

const QList<Picture> &screenshots()
{
    static const QList<Picture> list = [] {
        QList<Picture> out;
        for (int seed = 0; seed < 6; ++seed) {
            const QString name = QStringLiteral("desktop-%1").arg(seed);
            out << Picture{name, writeThumbnail(fixtures::textScreenshot(seed), name)};
        }
        struct Capture {
            fixtures::CaptureKind kind;
            const char *name;
        };
        const Capture kinds[] = {{fixtures::CaptureKind::Code, "code"},
                                 {fixtures::CaptureKind::Terminal, "terminal"},
                                 {fixtures::CaptureKind::SmallPrint, "smallprint"}};
        const QSize sizes[] = {QSize(1300, 900), QSize(1440, 900), QSize(1920, 1080)};
        int seed = 0;
        for (const Capture &capture : kinds)
            for (bool dark : {false, true})
                for (int s = 0; s < 3; ++s, ++seed) {
                    const int pixelSize = 11 + s;
                    const QString name = QStringLiteral("%1-%2-%3px-%4x%5")
                                             .arg(QLatin1String(capture.name), dark ? "dark" : "light")
                                             .arg(pixelSize)
                                             .arg(sizes[s].width())
                                             .arg(sizes[s].height());
                    out << Picture{name, writeThumbnail(fixtures::captureScreenshot(capture.kind, dark, sizes[s],
                                                                                    pixelSize, seed),
                                                        name)};
                }
        return out;
    }();
    return list;
}

// Desktop pictures and photographs, which hold no text.
const QList<Picture> &photos()
{
    static const QList<Picture> list = [] {
        QList<Picture> out;
        QStringList paths;
        QDirIterator it(QStringLiteral("/usr/share/backgrounds"), {"*.jpg", "*.jpeg", "*.png"}, QDir::Files,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            paths << it.next();
        paths.sort();
        for (const QString &path : std::as_const(paths)) {
            QImageReader reader(path);
            reader.setAutoTransform(true);
            const QSize size = reader.size();
            if (size.isValid() && std::max(size.width(), size.height()) > 2048)
                reader.setScaledSize(size.scaled(2048, 2048, Qt::KeepAspectRatio));
            QImage image = reader.read();
            if (image.isNull())
                continue;
            if (image.hasAlphaChannel()) { // as the thumbnail shows it, on the window's grey
                QImage flat(image.size(), QImage::Format_RGB32);
                flat.fill(QColor(30, 30, 30));
                QPainter(&flat).drawImage(0, 0, image);
                image = flat;
            }
            const QString name = path.section(u'/', -2).replace(u'/', u'-');
            out << Picture{name, writeThumbnail(image, name)};
        }
        return out;
    }();
    return list;
}

// CPU time of the calling thread, in nanoseconds: the analysis runs on it
// alone (the engines are kept serial), and the machine's load does not count.
double threadCpuNanoseconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e9 + double(t.tv_nsec);
}

QHash<QString, int> wordsOf(const QString &text)
{
    static const QRegularExpression word(QStringLiteral("[\\p{L}\\p{N}]{2,}"));
    QHash<QString, int> words;
    for (auto m = word.globalMatch(text); m.hasNext();)
        ++words[m.next().captured()];
    return words;
}

int total(const QHash<QString, int> &words)
{
    int n = 0;
    for (int c : words)
        n += c;
    return n;
}

int common(const QHash<QString, int> &found, const QHash<QString, int> &reference)
{
    int n = 0;
    for (auto it = reference.cbegin(); it != reference.cend(); ++it)
        n += std::min(it.value(), found.value(it.key()));
    return n;
}

// The words the Tesseract command finds on each thumbnail upscaled 2x, with
// its own defaults (automatic page segmentation, the LSTM engine).
QList<QHash<QString, int>> referenceWords(const QList<Picture> &pictures)
{
    QList<QHash<QString, int>> out(pictures.size());
    const QString command = QStandardPaths::findExecutable(QStringLiteral("tesseract"));
    if (command.isEmpty())
        return {};
    std::atomic<int> next{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i; (i = next.fetch_add(1)) < int(pictures.size());) {
                const QString cache = qEnvironmentVariable("VELLORA_BENCH_CACHE");
                QFile cached(cache + QLatin1Char('/') + pictures[i].name + QStringLiteral(".txt"));
                if (!cache.isEmpty() && cached.open(QIODevice::ReadOnly)) {
                    out[i] = wordsOf(QString::fromUtf8(cached.readAll()));
                    continue;
                }
                QImage thumbnail(pictures[i].thumbnail);
                const QString upscaled = g_dir->filePath(pictures[i].name + QStringLiteral("-2x.png"));
                thumbnail.scaled(thumbnail.size() * 2, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                    .save(upscaled, "PNG");
                QProcess process;
                QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
                environment.insert(QStringLiteral("OMP_THREAD_LIMIT"), QStringLiteral("1"));
                process.setProcessEnvironment(environment);
                process.start(command, {upscaled, QStringLiteral("stdout")});
                process.waitForFinished(120000);
                const QByteArray text = process.readAllStandardOutput();
                out[i] = wordsOf(QString::fromUtf8(text));
                if (!cache.isEmpty() && QDir().mkpath(cache) && cached.open(QIODevice::WriteOnly))
                    cached.write(text);
            }
        });
    for (auto &t : threads)
        t.join();
    return out;
}

// Word recall of the analysis on the screenshots against the command, and
// the analysis's time per screenshot (one thread, labels and text).
void BM_ScreenshotRecall(benchmark::State &state)
{
    const QList<Picture> &pictures = screenshots();
    const QList<QHash<QString, int>> reference = referenceWords(pictures);
    analyzeImage(pictures.first().thumbnail); // the engine's one-time start is not part of the cost
    double recall = 0, lowest = 1, nanoseconds = 0, cpu = 0;
    int runs = 0;
    for (auto _ : state) {
        int matched = 0, asked = 0;
        for (qsizetype i = 0; i < pictures.size(); ++i) {
            QElapsedTimer timer;
            timer.start();
            const double cpuBefore = threadCpuNanoseconds();
            const std::optional<ImageAnalysis> analysis = analyzeImage(pictures[i].thumbnail);
            const double pictureCpu = threadCpuNanoseconds() - cpuBefore;
            cpu += pictureCpu;
            nanoseconds += double(timer.nsecsElapsed());
            if (reference.isEmpty())
                continue;
            const QHash<QString, int> found = wordsOf(analysis ? analysis->text : QString());
            const int m = common(found, reference[i]), n = total(reference[i]);
            matched += m;
            asked += n;
            const double r = n ? double(m) / n : 1.0;
            lowest = std::min(lowest, r);
            if (runs == 0)
                fprintf(stderr, "%-34s engine %4d words, found %4d, recall %.2f, cpu %5.0f ms\n",
                        qPrintable(pictures[i].name), n, total(found), r, pictureCpu / 1e6);
        }
        recall = asked ? double(matched) / asked : 0;
        ++runs;
    }
    if (!reference.isEmpty()) {
        state.counters["recall"] = recall;
        state.counters["lowest recall"] = lowest;
    }
    state.counters["ms/picture"] = nanoseconds / 1e6 / double(runs * pictures.size());
    state.counters["cpu ms/picture"] = cpu / 1e6 / double(runs * pictures.size());
    state.counters["pictures"] = double(pictures.size());
}
BENCHMARK(BM_ScreenshotRecall)->Unit(benchmark::kSecond)->Iterations(1);

// Words found on desktop pictures and photographs: none should be.
void BM_NoTextOnPhotos(benchmark::State &state)
{
    const QList<Picture> &pictures = photos();
    if (pictures.isEmpty()) {
        state.SkipWithError("no desktop pictures installed (mate-backgrounds)");
        return;
    }
    analyzeImage(pictures.first().thumbnail);
    double nanoseconds = 0, cpu = 0;
    int invented = 0, withText = 0, runs = 0;
    for (auto _ : state) {
        invented = withText = 0;
        for (const Picture &picture : pictures) {
            QElapsedTimer timer;
            timer.start();
            const double cpuBefore = threadCpuNanoseconds();
            const std::optional<ImageAnalysis> analysis = analyzeImage(picture.thumbnail);
            cpu += threadCpuNanoseconds() - cpuBefore;
            nanoseconds += double(timer.nsecsElapsed());
            const int words = analysis ? total(wordsOf(analysis->text)) : 0;
            invented += words;
            withText += words > 0 ? 1 : 0;
            if (words > 0 && runs == 0)
                fprintf(stderr, "%-34s invented: %s\n", qPrintable(picture.name),
                        qPrintable(analysis->text.simplified().left(80)));
        }
        ++runs;
    }
    state.counters["invented words"] = invented;
    state.counters["pictures with text"] = withText;
    state.counters["ms/picture"] = nanoseconds / 1e6 / double(runs * pictures.size());
    state.counters["cpu ms/picture"] = cpu / 1e6 / double(runs * pictures.size());
    state.counters["pictures"] = double(pictures.size());
}
BENCHMARK(BM_NoTextOnPhotos)->Unit(benchmark::kSecond)->Iterations(1);

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QTemporaryDir dir;
    g_dir = &dir;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
