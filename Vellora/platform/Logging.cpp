#include "Logging.h"

#include <cstdio>
#include <mutex>

namespace vellora {

Q_LOGGING_CATEGORY(lcVellora, "com.quendle.vellora", QtInfoMsg)
Q_LOGGING_CATEGORY(lcSync, "com.quendle.vellora.sync", QtInfoMsg)
Q_LOGGING_CATEGORY(lcSharing, "com.quendle.vellora.sharing", QtInfoMsg)
Q_LOGGING_CATEGORY(lcHandoff, "com.quendle.vellora.handoff", QtInfoMsg)
Q_LOGGING_CATEGORY(lcAnalysis, "com.quendle.vellora.analysis", QtInfoMsg)
Q_LOGGING_CATEGORY(lcLinks, "com.quendle.vellora.links", QtInfoMsg)

namespace {
void writeToStandardError(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    static std::mutex lock;
    const QByteArray text = message.toUtf8();
    const char *category = context.category ? context.category : "default";
    std::lock_guard guard(lock);
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "%s: error: %s\n", category, text.constData());
    else
        std::fprintf(stderr, "%s: %s\n", category, text.constData());
    std::fflush(stderr);
    if (type == QtFatalMsg)
        std::abort();
}
} // namespace

void installLogHandler()
{
    static std::once_flag once;
    std::call_once(once, [] { qInstallMessageHandler(writeToStandardError); });
}

} // namespace vellora
