#pragma once
// Time as the library stores it: seconds since 2001-01-01 00:00:00 UTC.
// Everything that reads "now" goes through Clock::current(), so tests can
// pin the present moment with a ManualClock.

#include <QDateTime>
#include <atomic>

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

class ManualClock final : public Clock {
public:
    explicit ManualClock(double start = 800000000.0) : m_now(start) {}
    double now() const override { return m_now.load(); }
    void set(double seconds) { m_now.store(seconds); }
    void advance(double seconds) { m_now.store(m_now.load() + seconds); }

private:
    std::atomic<double> m_now;
};

// Installs a clock for the life of a scope; tests use it around a case.
class ScopedClock {
public:
    explicit ScopedClock(Clock *clock) { Clock::setCurrent(clock); }
    ~ScopedClock() { Clock::setCurrent(nullptr); }
    ScopedClock(const ScopedClock &) = delete;
    ScopedClock &operator=(const ScopedClock &) = delete;
};

} // namespace vellora
