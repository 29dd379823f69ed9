#pragma once

#include "ScopedSeam.h"
#include "platform/Ubiquity.h"

namespace vellora {
using ScopedUbiquity = ScopedSeam<Ubiquity, &Ubiquity::current, &Ubiquity::setCurrent>;
} // namespace vellora
