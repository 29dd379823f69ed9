#pragma once
// The headless modes: each prints its lines on standard output and gives the
// exit status. They run on an application object made for them (no window).

#include "StartupMode.h"

namespace vellora {

enum class HeadlessApplication {
    Core,    // no pictures, no fonts
    Gui,     // pictures and drawn covers, on the offscreen platform
    Widgets, // views driven without a window, on the offscreen platform
};

HeadlessApplication applicationFor(StartupMode mode);

// Runs the chosen mode to its end and returns the exit status. The caller
// ends the process with it.
int runHeadlessMode(const StartupChoice &choice, const QStringList &arguments,
                    const QProcessEnvironment &environment);

// The line of a mode that this build does not have yet; status 1.
int modeNotBuilt(StartupMode mode);

} // namespace vellora
