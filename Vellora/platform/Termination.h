#pragma once
// The end of the process from outside: SIGTERM (logout, a session manager, a
// plain `kill`), SIGINT (Ctrl-C) and SIGHUP (the terminal or session went
// away). Instead of dying at once the process runs its hooks on the main
// thread (a store writes what is still waiting in its debounce), then ends
// with status 128 + the signal number, as a process killed by it would.
//
// The signal handler only writes the signal number into a pipe; everything
// else happens when the main thread's event loop reads it. A second signal
// while the hooks run is ignored; a third ends the process at once.

#include <functional>

namespace vellora::Termination {

using Hook = std::function<void()>;

// Installs the handlers once per process. Needs a QCoreApplication: its
// thread runs the hooks. False when there is none (nothing is installed).
bool install();

// Adds a hook; the number it returns removes it again. Main thread.
int addHook(Hook hook);
void removeHook(int id);

// Runs the hooks as the arrival of `signal` would, without ending the
// process. For tests.
void runHooksForTesting(int signal);

} // namespace vellora::Termination
