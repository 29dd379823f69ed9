#pragma once

#include "ScopedSeam.h"
#include "platform/Scheduler.h"

namespace vellora {
using ScopedScheduler = ScopedSeam<Scheduler, &Scheduler::main, &Scheduler::setMain>;
} // namespace vellora
