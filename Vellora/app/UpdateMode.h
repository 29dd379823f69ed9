#pragma once
// "--update": one user-initiated check, then an install of what is offered,
// without a relaunch.

#include <memory>
#include <optional>

namespace vellora {

class Updater;

// Prints the "[update] " lines and reports whether an update was installed.
void cliUpdateTask(Updater &updater, const std::shared_ptr<std::optional<bool>> &result);
int runUpdate();

} // namespace vellora
