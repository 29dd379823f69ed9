#include "Console.h"

#include <cstdio>
#include <mutex>

namespace vellora {

namespace {
std::mutex g_mutex;
LineSink g_sink = nullptr;
} // namespace

void printLine(const QString &line)
{
    std::lock_guard lock(g_mutex);
    if (g_sink) {
        g_sink(line);
        return;
    }
    const QByteArray bytes = line.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void printErrorLine(const QString &line)
{
    std::lock_guard lock(g_mutex);
    const QByteArray bytes = line.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

void setLineSink(LineSink sink)
{
    std::lock_guard lock(g_mutex);
    g_sink = sink;
}

} // namespace vellora
