#pragma once
// The program's start: choose the headless mode or the window, make the
// application object that fits, run.

namespace vellora {

// Never returns for a headless mode: the process ends with the mode's status.
int runVellora(int argc, char **argv);

} // namespace vellora
