// vellora-share from start to finish for one link, without a display: the
// whole program as a desktop's "Share" entry runs it (target: under 150 ms),
// and the writing of one drop on its own.

#include "ShareDrops.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

namespace {
void shareOneLink(benchmark::State &state)
{
    QTemporaryDir home, root;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", home.path());
    env.insert("XDG_CONFIG_HOME", home.path() + "/config");
    env.insert("XDG_DATA_HOME", home.path() + "/data");
    env.insert("VELLORA_ROOT", root.path());
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    for (auto _ : state) {
        QProcess process;
        process.setProcessEnvironment(env);
        process.start(VELLORA_SHARE_BINARY, {"https://example.com/article?id=42"});
        process.closeWriteChannel();
        if (!process.waitForFinished(10000) || process.exitCode() != 0) {
            state.SkipWithError("vellora-share failed");
            break;
        }
    }
    state.counters["drops"] = double(QDir(root.path() + "/Drops").entryList(QDir::Files).size());
}
BENCHMARK(shareOneLink)->Unit(benchmark::kMillisecond)->UseRealTime();

void writeOneDrop(benchmark::State &state)
{
    QTemporaryDir root;
    const QString folder = root.path() + "/Drops";
    const QByteArray link = "https://example.com/article?id=42";
    for (auto _ : state)
        benchmark::DoNotOptimize(vshare::writeDrop(folder, ".url.txt", link));
}
BENCHMARK(writeOneDrop)->Unit(benchmark::kMicrosecond);
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
