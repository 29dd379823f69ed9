#include "HeadlessRunner.h"

#include <QEventLoop>
#include <QTimer>

#include <cstdio>
#include <unistd.h>

namespace vellora {

void runEventLoopUntil(const std::function<bool()> &done, double sliceSeconds)
{
    const int sliceMs = qMax(1, int(sliceSeconds * 1000.0));
    while (!done()) {
        QEventLoop slice;
        QTimer::singleShot(sliceMs, &slice, &QEventLoop::quit);
        slice.exec();
    }
}

void waitForCompletion(const CompletionFlag &flag)
{
    runEventLoopUntil([&] { return *flag; });
}

void waitForResult(const ResultFlag &flag)
{
    runEventLoopUntil([&] { return flag->has_value(); });
}

void finishProcess(int status)
{
    std::fflush(stdout);
    std::fflush(stderr);
    ::_exit(status);
}

} // namespace vellora
