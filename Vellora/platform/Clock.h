#pragma once
// Time as the library stores it: seconds since 2001-01-01 00:00:00 UTC.
// Everything that reads "now" goes through Clock::current(), so tests can
// pin the present moment with a clock of their own.

#include <QDateTime>

namespace vellora {

// Seconds between the Unix epoch and 2001-01-01 00:00:00 UTC.
inline constexpr double kReferenceDateOffset = 978307200.0;

double referenceSeconds(const QDateTime &dateTime);
QDateTime dateFromReferenceSeconds(double seconds);

class Clock {
public:
    virtual ~Clock() = default;
    // Wall time in reference seconds.
    virtual double now() const = 0;

    // The process-wide clock; a SystemClock unless a test installed another.
    static Clock &current();
    // Installs a clock (not owned); nullptr restores the system clock.
    static void setCurrent(Clock *clock);
};

// Shorthand for Clock::current().now().
double now();

class SystemClock final : public Clock {
public:
    double now() const override;
};

} // namespace vellora
