#pragma once
// Copying the library's media files and putting files on disk. Replacing
// a file's content is writeFileAtomically() (AtomicFile.h).

#include <QString>

namespace vellora {

// fsync of a folder, so that renames inside it survive a crash. Best effort.
void syncFolder(const QString &folder);

// fsync of a regular file's data (never through a link, never waiting on a
// FIFO). Best effort.
void syncFile(const QString &path);

// A copy of `from` at `to` (which must not exist) that shares nothing that a
// later in-place edit of either file could change: a reflink (copy-on-write
// clone) where the filesystem has them, else a byte copy. Never a hard link.
// False when neither works; a partial copy is removed.
bool cloneOrCopyFile(const QString &from, const QString &to);

} // namespace vellora
