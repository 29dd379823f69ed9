#pragma once

#include "ScopedSeam.h"
#include "platform/Clock.h"

namespace vellora {
using ScopedClock = ScopedSeam<Clock, &Clock::setCurrent>;
} // namespace vellora
