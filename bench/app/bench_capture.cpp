// 100 screenshots written into the watched folder in one burst: every one
// must reach the library, each once, and the import must start soon after
// the last file is closed. The time measured is from the last close to the
// moment the last of them was handed to the import ("start_latency_ms"),
// and the items' arrival in the store is awaited, not timed.

#include "app/Capture.h"
#include "library/LibraryStore.h"
#include "platform/Defaults.h"
#include "platform/ScreenshotFolder.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QBuffer>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QSet>
#include <QTemporaryDir>

#include <memory>

using namespace vellora;

namespace {

constexpr int kBurst = 100;

const QList<QByteArray> &screenshots()
{
    static const QList<QByteArray> pictures = [] {
        QList<QByteArray> out;
        for (int i = 0; i < kBurst; ++i) {
            QImage image(640, 400, QImage::Format_RGB32);
            image.fill(QColor::fromHsv((i * 7) % 360, 120 + i % 100, 220));
            QPainter painter(&image);
            painter.fillRect(QRect(i * 5, 40, 60, 60 + i), Qt::black);
            painter.end();
            QByteArray bytes;
            QBuffer buffer(&bytes);
            buffer.open(QIODevice::WriteOnly);
            image.save(&buffer, "PNG");
            out << bytes;
        }
        return out;
    }();
    return pictures;
}

void BM_ScreenshotBurst(benchmark::State &state)
{
    const QList<QByteArray> &pictures = screenshots();
    double worstLatency = 0;
    for (auto _ : state) {
        QTemporaryDir dir;
        QTemporaryDir folder;
        Defaults settings(dir.filePath("settings.ini"));
        settings.set(QString::fromLatin1(kScreenshotFolderKey), folder.path());
        LibraryStore store(dir.filePath("Library"), false, settings);
        Capture capture(store, settings);

        bool started = false;
        QObject::connect(&capture, &Capture::watchingStarted, [&started] { started = true; });
        capture.setWatching(true);
        while (!started)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);

        QStringList handed;
        QElapsedTimer clock;
        qint64 lastClose = 0;
        qint64 lastHanded = -1;
        QObject::connect(&capture, &Capture::screenshotsImported, [&](const QStringList &files) {
            handed << files;
            lastHanded = clock.nsecsElapsed();
        });

        clock.start();
        for (int i = 0; i < kBurst; ++i) {
            QFile file(folder.filePath(QStringLiteral("Screenshot %1.png").arg(i, 3, 10, QLatin1Char('0'))));
            if (!file.open(QIODevice::WriteOnly)) {
                state.SkipWithError("cannot write into the folder");
                return;
            }
            file.write(pictures.at(i));
            file.close();
        }
        lastClose = clock.nsecsElapsed();

        QElapsedTimer deadline;
        deadline.start();
        while ((handed.size() < kBurst || store.items().size() < kBurst) && deadline.elapsed() < 60000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
        // Anything late or doubled would come now.
        QElapsedTimer settle;
        settle.start();
        while (settle.elapsed() < 300)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);

        const QSet<QString> distinct(handed.begin(), handed.end());
        if (handed.size() != kBurst || distinct.size() != kBurst || store.items().size() != kBurst) {
            state.SkipWithError("not every screenshot landed exactly once");
            return;
        }
        const double latency = double(lastHanded - lastClose) / 1e6;
        worstLatency = std::max(worstLatency, latency);
        state.SetIterationTime(std::max(0.0, latency) / 1e3);
    }
    state.counters["start_latency_ms"] = worstLatency;
    state.counters["screenshots"] = kBurst;
}

} // namespace

BENCHMARK(BM_ScreenshotBurst)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    screenshots();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
