#pragma once
// Files in the library's media folders that no item names: what a process
// killed between writing an item's files and saving library.json leaves
// behind. They are never deleted outright (an item of another machine may
// still be on its way); once they are older than an hour they are moved
// into "backups/unlisted-<date>/<folder>/". Temporary files of writers that
// died before their rename hold nothing that was ever the library's and are
// removed.

#include "LibraryFile.h"

#include <QSet>
#include <QString>

namespace vellora {

// How long a file must have been on this machine before it counts as left over.
inline constexpr double kUnlistedMinimumAge = 3600.0;

struct UnlistedSweep {
    int moved = 0;       // files moved into the backups folder
    int temporaries = 0; // temporary files removed
    QString folder;      // where they went; empty when nothing moved
};

// The names the items use, per media folder.
struct ListedNames {
    QSet<QString> originals;
    QSet<QString> thumbnails; // thumbnails and covers
    QSet<QString> favicons;
};
ListedNames listedNames(const QList<Item> &items);

// Any thread. `now` in reference seconds. A file's age is taken from the
// later of its modification and status-change times, so a file that a sync
// client brought here a minute ago is young, whatever time it carries.
UnlistedSweep sweepUnlistedFiles(const QString &root, const ListedNames &listed, double now);

} // namespace vellora
