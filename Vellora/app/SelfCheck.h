#pragma once

namespace vellora {

// Exercises the library core end to end without a window; prints its
// findings on standard output and returns the exit status.
int runSelfCheck();

} // namespace vellora
