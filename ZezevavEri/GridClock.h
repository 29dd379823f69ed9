#pragma once
// The grid's own notion of time: a media clock in seconds and deferred work on
// the main thread. Production runs on a monotonic timer and the Qt event loop;
// tests install a ManualClock and step through virtual time.

#include <QObject>
#include <QElapsedTimer>
#include <QHash>

#include <functional>
#include <map>

namespace zezevaveri {

class GridClock {
public:
    virtual ~GridClock() = default;
    virtual double now() const = 0;
    // Runs `work` on the main thread after `delay` seconds; returns a ticket.
    virtual quint64 schedule(double delay, std::function<void()> work) = 0;
    virtual void cancel(quint64 ticket) = 0;

    // The process-wide system clock.
    static GridClock &system();
};

class SystemGridClock final : public QObject, public GridClock {
public:
    SystemGridClock();
    double now() const override;
    quint64 schedule(double delay, std::function<void()> work) override;
    void cancel(quint64 ticket) override;

private:
    QElapsedTimer m_timer;
    quint64 m_next = 1;
    QHash<quint64, QObject *> m_timers;
};

class ManualGridClock final : public GridClock {
public:
    explicit ManualGridClock(double start = 1000.0) : m_now(start) {}
    double now() const override { return m_now; }
    quint64 schedule(double delay, std::function<void()> work) override;
    void cancel(quint64 ticket) override;
    // Moves time forward, running due work in time order (work scheduled on
    // the way runs too when it falls due before the end).
    void advance(double seconds);
    // Runs the work that is due now.
    void flush() { advance(0); }
    int scheduledCount() const { return int(m_queue.size()); }

private:
    double m_now;
    quint64 m_next = 1;
    std::multimap<std::pair<double, quint64>, std::function<void()>> m_queue;
};

} // namespace zezevaveri
