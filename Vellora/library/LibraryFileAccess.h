#pragma once
// How the bytes of the library folder move: reading and decoding
// library.json, settling conflict copies before a read, timestamped backups,
// and asking for a cloud file to be downloaded. Free functions without state
// apart from the process-wide backup counter.

#include "LibraryFile.h"

#include "platform/FileCoordination.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace vellora {

// How long a read of library.json waits for coordination before reading directly.
inline constexpr double kLibraryReadTimeout = 10.0;

// Identity of the bytes at a path: a replaced file has a new inode and time,
// so two stamps are equal only when nobody wrote the file in between.
struct FileStamp {
    bool exists = false;
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = 0;
    qint64 modifiedNs = 0;

    bool operator==(const FileStamp &) const = default;
};

FileStamp fileStamp(const QString &path);

// The content modification time of a stamp in reference seconds, the same
// value libraryModificationDate() reads for that file; nothing when the stamp
// names no file.
std::optional<double> modificationDate(const FileStamp &stamp);

// Why a read gave no document. Only Absent means "there is no library here";
// every other case is a file that exists and must not be written over.
enum class LibraryReadStatus {
    Loaded,
    Absent,
    Unreadable,
    Undecodable,
    NoCollections,
};

struct LibraryRead {
    LibraryReadStatus status = LibraryReadStatus::Absent;
    std::optional<LibraryFile> file;
    // For every status but Loaded and Absent: what went wrong, for the user.
    QString reason;
    // The bytes read (empty when none, and for a file that loaded unless
    // they were asked for) and the stamp of the file they came from.
    QByteArray bytes;
    FileStamp stamp;
};

// Whether a read keeps library.json's bytes once its records are made. A
// file that does not load always keeps them, to be copied aside.
enum class KeepBytes {
    // The bytes of a file that loads are given back while it is decoded,
    // so that a large file and its records are not held in full together.
    OnlyWhenNotLoaded,
    Always,
};

// Prepares the folder (the four media folders), settles conflict copies,
// reads library.json under coordination and decodes it. Items without a
// fileSize get the size of their original (0 when missing).
LibraryRead readLibraryFile(const QString &root, KeepBytes keep = KeepBytes::OnlyWhenNotLoaded);

// Settles the conflict copies of `file`: the newest version wins and becomes
// the file, every other version is kept as a "conflict" backup in `root`.
// The copies are removed only when every losing version was backed up.
void resolveLibraryConflicts(const QString &file, const QString &root);

// Writes `bytes` to root/backups/<tag>-<timestamp>-<counter>.json and prunes
// the "library-" backups to the newest 20. The path written, or nothing when
// the write failed.
std::optional<QString> writeLibraryBackup(const QByteArray &bytes, const QString &root, const QString &tag);

// As writeLibraryBackup(), with the copy taken from `sourceFd`, an open
// file that holds exactly `pieces` (library.json as just written): a reflink
// clone or an in-kernel copy (copy_file_range) where the filesystem allows,
// else the pieces are written; -1 for none. The descriptor stays open.
std::optional<QString> writeLibraryBackupFrom(int sourceFd, const BytePieces &pieces, const QString &root,
                                              const QString &tag);

// The newest backup of `tag` in root/backups that holds exactly `bytes`;
// nothing when none does.
std::optional<QString> existingLibraryBackup(const QString &root, const QString &tag, const QByteArray &bytes);

// The backup file name for a tag, a moment (reference seconds) and a counter value.
QString libraryBackupName(const QString &tag, double referenceSeconds, quint64 counter);

// The path when the file can be read now; nothing when it is a cloud file not
// on this machine, after asking for its download (no waiting).
std::optional<QString> ensureDownloaded(const QString &path);

// Content modification time of root/library.json in reference seconds.
std::optional<double> libraryModificationDate(const QString &root);

} // namespace vellora
