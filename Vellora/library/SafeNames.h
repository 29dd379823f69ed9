#pragma once
// File names read from library.json or from a remote record are data, not
// paths: one is joined to a library folder only when it is a single, plain
// path component, so "../x", "a/b" or an absolute path never reaches the disk.

#include <QString>

#include <optional>

namespace vellora {

// True for a non-empty name without "/" or "\", NUL or other control
// characters, that is not "." or "..", and that fits in 255 bytes.
bool isSafePathComponent(const QString &name);

// root + "/" + folder + "/" + name when `name` is safe; nothing otherwise.
// `folder` is one of the library's own folder names (never user data).
std::optional<QString> libraryFilePath(const QString &root, const QString &folder, const QString &name);

// Removes the file at root/folder/name when the name is safe and the file
// really lies inside root (no symbolic link to a folder elsewhere on the way).
// A link itself is removed, never what it points to. False when nothing was removed.
bool removeLibraryFile(const QString &root, const QString &folder, const QString &name);

} // namespace vellora
