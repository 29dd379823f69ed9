#include "GridClock.h"

#include <QCoreApplication>
#include <QTimer>

#include <cmath>

namespace zezevaveri {

GridClock &GridClock::system()
{
    static SystemGridClock *clock = new SystemGridClock;
    return *clock;
}

SystemGridClock::SystemGridClock() { m_timer.start(); }

double SystemGridClock::now() const { return double(m_timer.nsecsElapsed()) * 1e-9; }

quint64 SystemGridClock::schedule(double delay, std::function<void()> work)
{
    const quint64 ticket = m_next++;
    auto *timer = new QTimer;
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    if (QCoreApplication::instance())
        timer->moveToThread(QCoreApplication::instance()->thread());
    m_timers.insert(ticket, timer);
    QObject::connect(timer, &QTimer::timeout, timer, [this, ticket, timer, work = std::move(work)] {
        m_timers.remove(ticket);
        timer->deleteLater();
        work();
    });
    const double ms = std::isfinite(delay) ? std::max(0.0, delay * 1000.0) : 0.0;
    timer->start(int(std::ceil(ms)));
    return ticket;
}

void SystemGridClock::cancel(quint64 ticket)
{
    if (QObject *timer = m_timers.take(ticket))
        timer->deleteLater();
}

} // namespace zezevaveri
