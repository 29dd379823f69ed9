#pragma once
// Versions of a file that sync clients keep beside it. When two machines
// change a file at once, Linux sync clients leave the losing side as a
// conflict copy next to it:
//   Syncthing:          "library.sync-conflict-20261209-075203-ABCDEFG.json"
//   Dropbox and others: "library (conflicted copy 2026-12-09).json",
//                       "library (Mac's conflicted copy 2026-12-09).json"
// The file itself is the current version; each copy is a conflict version.

#include <QList>
#include <QString>

#include <optional>

namespace vellora {

struct FileVersion {
    QString path;
    // Content modification time in reference seconds; absent when unreadable.
    std::optional<double> modificationDate;

    bool operator==(const FileVersion &other) const { return path == other.path; }
};

namespace FileVersions {

// True when `candidate` (a file name) is a conflict copy of the file named `name`.
bool isConflictCopyName(const QString &name, const QString &candidate);

// The file itself, or nothing when it does not exist.
std::optional<FileVersion> current(const QString &path);

// The conflict copies beside `path`, in file-name order.
QList<FileVersion> unresolvedConflicts(const QString &path);

// Content modification time of any file in reference seconds.
std::optional<double> modificationDate(const QString &path);

// Removes one conflict copy. False when it stays.
bool remove(const FileVersion &version);

} // namespace FileVersions
} // namespace vellora
