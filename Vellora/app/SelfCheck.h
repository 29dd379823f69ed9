#pragma once
// `vellora --selfcheck`: an end-to-end check of the library core without a
// window. It builds throw-away libraries under the temporary directory,
// imports real pictures, exercises trash, collections, smart-folder rules,
// JSON coding, moving a library between two folders, the backup limit, a
// 2000-picture import and the grid's paging, and prints a few lines:
//
//   scale: imported 2000 in <seconds> s -> <scale library folder>
//   step ok
//   lastSyncedAt: <date>
//   selfcheck ok
//
// The first check that fails stops the run: nothing more is printed, its
// folders stay for inspection, and the status is 1. A machine without three
// pictures prints "selfcheck skipped: need 3 desktop pictures" and passes.
//
// The settings of the throw-away stores go to a scratch scope, never into the
// user's defaults. Main thread only.
//
// For tests, VELLORA_SELFCHECK_FAIL=<step> makes the check of that step fail
// (steps: import, thumbnails, covers, duplicate, reopen, delete, trash,
// collections, rules, purge, migration, scale, grid, lastSyncedAt).

#include <QString>
#include <QStringList>

#include <stdexcept>

namespace vellora {

class LibraryStore;

// A check that did not hold; `step` names the part of the run.
class SelfCheckFailure : public std::runtime_error {
public:
    SelfCheckFailure(const QString &step, const QString &what);
    QString step() const { return m_step; }

private:
    QString m_step;
};

// The whole run on the desktop pictures (DesktopPictures.h); the exit status.
int runSelfCheck();
// The same with the pictures taken from the first of `pictureFolders` that
// holds three.
int runSelfCheck(const QStringList &pictureFolders);

// The parts of the run. Each throws SelfCheckFailure.
// JSON and rule checks on a store with exactly two items.
void selfCheckRules(LibraryStore &store);
// Moving a library between folders, and the backup limit.
void selfCheckMigration(const QStringList &pictures);
// The timed import of 2000 generated pictures into an emptied
// "vellora-scale" folder; prints the scale line.
void selfCheckScale();
// The grid's pager on four tiles, one of them external; prints "step ok".
void selfCheckGrid();

// Writes picture `index` to urls[index]: a PNG of one colour (red
// index mod 256, green (index div 256) / 8, blue one half), each side 200 plus
// a random 0 to 1400 pixels. False when it could not be made or written.
bool makeTestImage(int index, const QStringList &urls);

// Removes a file or a folder with everything in it; errors are ignored.
void removeIfPresent(const QString &path);

} // namespace vellora
