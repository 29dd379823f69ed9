#include "ManualGridClock.h"

#include <algorithm>
#include <cmath>

namespace zezevaveri {

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
