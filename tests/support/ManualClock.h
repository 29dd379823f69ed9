#pragma once
// A clock that stands still until the test moves it.

#include "platform/Clock.h"

#include <atomic>

namespace vellora {

class ManualClock final : public Clock {
public:
    explicit ManualClock(double start = 800000000.0) : m_now(start) {}
    double now() const override { return m_now.load(); }
    void set(double seconds) { m_now.store(seconds); }
    void advance(double seconds) { m_now.store(m_now.load() + seconds); }

private:
    std::atomic<double> m_now;
};

} // namespace vellora
