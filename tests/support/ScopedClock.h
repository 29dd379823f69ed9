#pragma once

#include "ScopedSeam.h"
#include "platform/Clock.h"

namespace vellora {
using ScopedClock = ScopedSeam<Clock, &Clock::current, &Clock::setCurrent>;
} // namespace vellora
