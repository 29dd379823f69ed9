#pragma once
// The grid's own notion of time: a media clock in seconds and deferred work on
// the main thread. Production runs on a monotonic timer and the Qt event loop;
// tests install a clock of virtual time and step through it.

#include <QObject>
#include <QElapsedTimer>
#include <QHash>

#include <functional>

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

} // namespace zezevaveri
