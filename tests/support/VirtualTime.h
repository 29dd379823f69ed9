#pragma once
// A stopped clock and a scheduler that moves it, installed as the process's
// own for the life of the object: the store's debounces and spacings run
// when the test advances time, and "now" is what the test says.

#include "ManualClock.h"
#include "ManualScheduler.h"
#include "ScopedClock.h"
#include "ScopedScheduler.h"

namespace vellora {

class VirtualTime {
public:
    explicit VirtualTime(double start = 810000000.0) : clock(start) {}

    ManualClock clock;
    ManualScheduler scheduler{&clock};

private:
    ScopedClock m_clockInstalled{&clock};
    ScopedScheduler m_schedulerInstalled{&scheduler};
};

} // namespace vellora
