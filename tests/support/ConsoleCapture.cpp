#include "ConsoleCapture.h"

#include <mutex>

namespace vellora {

namespace {
std::mutex g_mutex;
QStringList g_lines;

void collect(const QString &line)
{
    std::lock_guard lock(g_mutex);
    g_lines.append(line);
}
} // namespace

ConsoleCapture::ConsoleCapture()
{
    clear();
    setLineSink(&collect);
}

ConsoleCapture::~ConsoleCapture()
{
    setLineSink(nullptr);
    clear();
}

QStringList ConsoleCapture::lines() const
{
    std::lock_guard lock(g_mutex);
    return g_lines;
}

void ConsoleCapture::clear()
{
    std::lock_guard lock(g_mutex);
    g_lines.clear();
}

} // namespace vellora
