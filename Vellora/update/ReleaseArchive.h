#pragma once
// Unpacks a release archive (".tar.zst" with one top folder "Vellora.app")
// into a stage folder. The archive is hostile until proven otherwise: entries
// may not leave the stage, links may not point out of it, and nothing but
// folders, regular files and links inside the tree is written.

#include <QString>

namespace vellora {

struct UnpackLimits {
    qint64 maxTotalBytes = qint64(1) << 30; // the unpacked tree
    qint64 maxEntries = 100000;
};

struct UnpackResult {
    bool ok = false;
    QString error; // why the archive was refused, for the status line
};

// `stage` must exist and be empty; on failure it may hold a partial tree,
// which the caller removes.
UnpackResult unpackReleaseArchive(const QString &archivePath, const QString &stage,
                                  const UnpackLimits &limits = {});

// A size as the update's messages give it: "1 GiB", "256 KiB".
QString sizeText(qint64 bytes);

// Whether `entryPath` (as written in the archive, "/"-separated) is a relative
// path of plain components inside the one top folder "Vellora.app".
bool isSafeReleaseEntry(const QString &entryPath);

// Whether a symbolic link stored at `entryPath` with `target` resolves, by its
// text alone, to a place inside the top folder.
bool isSafeReleaseLink(const QString &entryPath, const QString &target);

} // namespace vellora
