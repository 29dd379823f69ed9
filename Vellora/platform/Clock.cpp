#include "Clock.h"

#include <QTimeZone>
#include <atomic>

namespace vellora {

namespace {
SystemClock g_systemClock;
std::atomic<Clock *> g_clock{nullptr};
} // namespace

double referenceSeconds(const QDateTime &dateTime)
{
    return double(dateTime.toMSecsSinceEpoch()) / 1000.0 - kReferenceDateOffset;
}

QDateTime dateFromReferenceSeconds(double seconds)
{
    return QDateTime::fromMSecsSinceEpoch(qint64((seconds + kReferenceDateOffset) * 1000.0), Qt::UTC);
}

Clock &Clock::current()
{
    Clock *clock = g_clock.load();
    return clock ? *clock : g_systemClock;
}

void Clock::setCurrent(Clock *clock) { g_clock.store(clock); }

double now() { return Clock::current().now(); }

double SystemClock::now() const
{
    return double(QDateTime::currentMSecsSinceEpoch()) / 1000.0 - kReferenceDateOffset;
}

} // namespace vellora
