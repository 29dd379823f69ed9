#include "Console.h"

#include <cstdio>
#include <mutex>

namespace vellora {

namespace {
std::mutex g_mutex;
QStringList *g_captured = nullptr;
} // namespace

void printLine(const QString &line)
{
    std::lock_guard lock(g_mutex);
    if (g_captured) {
        g_captured->append(line);
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

ConsoleCapture::ConsoleCapture()
{
    std::lock_guard lock(g_mutex);
    delete g_captured;
    g_captured = new QStringList;
}

ConsoleCapture::~ConsoleCapture()
{
    std::lock_guard lock(g_mutex);
    delete g_captured;
    g_captured = nullptr;
}

QStringList ConsoleCapture::lines() const
{
    std::lock_guard lock(g_mutex);
    return g_captured ? *g_captured : QStringList();
}

void ConsoleCapture::clear()
{
    std::lock_guard lock(g_mutex);
    if (g_captured)
        g_captured->clear();
}

} // namespace vellora
