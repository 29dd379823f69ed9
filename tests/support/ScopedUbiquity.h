#pragma once

#include "ScopedSeam.h"
#include "platform/Ubiquity.h"

namespace vellora {
using ScopedUbiquity = ScopedSeam<Ubiquity, &Ubiquity::setCurrent>;
} // namespace vellora
