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

quint64 ManualGridClock::schedule(double delay, std::function<void()> work)
{
    const quint64 ticket = m_next++;
    const double at = m_now + (std::isfinite(delay) ? std::max(0.0, delay) : 0.0);
    m_queue.emplace(std::make_pair(at, ticket), std::move(work));
    return ticket;
}

void ManualGridClock::cancel(quint64 ticket)
{
    for (auto it = m_queue.begin(); it != m_queue.end(); ++it) {
        if (it->first.second == ticket) {
            m_queue.erase(it);
            return;
        }
    }
}

void ManualGridClock::advance(double seconds)
{
    const double end = m_now + std::max(0.0, seconds);
    while (!m_queue.empty() && m_queue.begin()->first.first <= end) {
        auto node = m_queue.extract(m_queue.begin());
        m_now = std::max(m_now, node.key().first);
        node.mapped()();
    }
    m_now = end;
}

} // namespace zezevaveri
