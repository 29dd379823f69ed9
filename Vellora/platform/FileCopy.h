#pragma once
// Writing and copying the library's media files.

#include <QByteArray>
#include <QString>

namespace vellora {

enum class Durability {
    // Temp file and rename: readers see the old file or the whole new one.
    Atomic,
    // As Atomic, and the data is on disk (fsync of the file) before the rename,
    // so a crash never leaves a named but empty file.
    Durable,
};

// Replaces `path` with `bytes` through a temporary file beside it. False when
// any step fails; the temporary file is then removed and `path` is untouched.
bool writeFileReplacing(const QString &path, const QByteArray &bytes, Durability durability = Durability::Atomic);

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
