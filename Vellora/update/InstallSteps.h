#pragma once
// The file-system steps of an install: the target check, the swap of the new
// tree into place, the old tree to the Trash, and the relaunch.

#include <QString>

namespace vellora {

// The folder an install may replace: absent, or a tree whose manifest names
// this application. Anything else is somebody else's folder.
bool isReplaceableTarget(const QString &targetPath);

struct SwapResult {
    bool ok = false;
    QString error;
};

// Puts `newBundle` at `targetPath` (both on one file system) in one step, and
// the old tree, when there was one, into the freedesktop Trash. When the old
// tree can't be trashed the swap is undone, so the target is never left
// without an application.
SwapResult replaceWithNewBundle(const QString &newBundle, const QString &targetPath);

// Names, in the environment of a relaunched copy, the process it replaces.
inline constexpr const char *kRelaunchAfterVariable = "VELLORA_RELAUNCH_AFTER";

// Starts `<target>/bin/vellora` one second from now, detached from us, told
// to wait for this process to end; false when it could not be started.
bool relaunchInstalled(const QString &targetPath);

} // namespace vellora
