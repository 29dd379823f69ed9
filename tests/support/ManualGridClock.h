#pragma once
// Virtual time for the grid: nothing runs until the test moves the clock.

#include "ZezevavEri/GridClock.h"

#include <map>

namespace zezevaveri {

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
