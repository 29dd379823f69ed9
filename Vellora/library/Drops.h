#pragma once
// The intake of drops: files that the share program leaves in the drops
// folder, also while Vellora is closed. Each drop is claimed by renaming it
// (the drop name, ".importing-" and this installation's device id), imported
// (pictures through the file import, ".url.txt" texts through the link road)
// and then removed. The rename is the only exclusion between processes and
// between the user's machines; a claim left unfinished for more than 600 s is
// released by whichever scan sees it next.
//
// The share program has already told the user "Added to Vellora", so a drop is
// removed only once the library holds it: imported, or recognised as already
// there (a duplicate) or as holding nothing. A drop that failed for a passing
// reason gets its drop name back and is tried again later; one that can never
// be imported is moved to the "Rejected" folder beside the drops folder.

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace vellora {

class Defaults;

inline constexpr double kDropClaimMaxAge = 600.0;  // seconds before a claim counts as abandoned
inline constexpr double kDropLockRetryTime = 2.0;   // a drop whose writer holds its lock is looked at again after this
inline constexpr int kDropMaxAttempts = 3;          // passing failures before a drop is rejected

// This installation's 8-character device id, kept under "deviceId" in the
// user's defaults and made from a new UUID when absent. Read once per process.
QString dropsDeviceId();
// The same, read from (and stored into) the given defaults, without caching.
QString loadDeviceId(Defaults &defaults);

// ".importing-" followed by the device id (19 characters).
QString dropsClaimMarker();
QString claimMarkerFor(const QString &deviceId);
inline constexpr auto kClaimInfix = ".importing-";

// Where the drops are: <root>/Drops when VELLORA_ROOT is set or there is no
// cloud container, else <container data folder>/Drops. Creates nothing.
QString dropsDirectoryFor(const QString &root, const std::optional<QString> &containerDataFolder, bool rootFromEnvironment);
// The folder beside the drops folder where drops that can never be imported go.
QString rejectedDirectoryFor(const QString &dropsFolder);

// Claims one drop: renames it to its name + the claim marker in the same
// folder, never replacing an existing file, and sets the claim's modification
// time to now. Nothing when the rename failed (another process took it first,
// or it vanished).
std::optional<QString> claimDrop(const QString &dropPath, const QString &claimMarker);

// The drop name of a claimed file's name: the part before the first ".importing-".
QString dropNameOfClaim(const QString &claimName);

// What became of one picture drop that was handed to the library.
enum class DropImport {
    Imported,     // a new item
    Duplicate,    // the library already holds these bytes
    Empty,        // the file holds nothing
    NotAPicture,  // no picture this system can read: it never will be
    Failed,       // a passing failure (I/O, disk full): try again later
};

// What the scan needs of the library. The store provides it; tests use fakes.
class DropsLibrary {
public:
    virtual ~DropsLibrary() = default;

    // Worker thread. Imports one staged picture (named after its drop) into
    // the collection and says what became of it. Blocks until done.
    virtual DropImport importPicture(const QString &stagedPath, const QString &boardId) = 0;
    // Worker thread. True when the file can be read now; false when it is not
    // local yet (a download has then been asked for).
    virtual bool ensureDownloaded(const QString &path) { Q_UNUSED(path); return true; }

    // Main thread. Adds (or finds) the link item for an address, returning its id.
    virtual QString addLink(const QString &url, const QString &boardId) = 0;
    // Main thread. Fetches a link's metadata, calling done on the main thread
    // once it has finished, whatever the outcome.
    virtual void fetchLinkMetadata(const QString &itemId, std::function<void()> done) = 0;
    // Main thread. The scan is over: lowers the store's import count by one.
    virtual void endImport() = 0;
    // Main thread. Saves the library and calls `done` on the main thread,
    // with true once what the scan added is durable on disk. Only then are
    // the drops that it holds removed: a drop is the only copy until the
    // library that lists its item is saved.
    virtual void commit(std::function<void(bool durable)> done) { done(true); }
};

struct DropsScanRequest {
    QString folder;       // the drops folder
    QString boardId;      // the collection that receives the drops
    QString claimMarker;  // ".importing-" + device id
    // Where rejected drops go; empty: rejectedDirectoryFor(folder).
    QString rejectedFolder;
};

struct DropsScanReport {
    int claimed = 0;      // drops this scan claimed
    int imported = 0;     // drops the library now holds (new items, duplicates, links)
    int removedEmpty = 0; // drops removed because they held nothing
    int rejected = 0;     // drops moved to the rejected folder
    int released = 0;     // drops handed back after a passing failure
    int staleReleased = 0;// abandoned claims handed back
    int waiting = 0;      // drops still being written, or waiting before another try
    int kept = 0;         // imported drops handed back because the library could not be saved
    // Seconds until a waiting drop can be taken; negative when none waits.
    double retryAfter = -1.0;
};

// The drops scan. Runs on the calling thread (a worker thread), then finishes
// on the main thread: link additions, the log line "drops: imported N",
// metadata fetches one after another, DropsLibrary::endImport(), and last
// the completion with the report. The caller has raised the store's import
// count by one before.
void ingestDrops(const DropsScanRequest &request, DropsLibrary &library,
                 std::function<void(const DropsScanReport &)> completion);

// Forgets the passing failures remembered for drops (between test cases).
void resetDropAttempts();

// Keeps a picture file handed to this program as a drop in `folder` (made
// when missing), for a library that cannot take it now (it could not be
// read): the scan after the next good load imports it, also when this
// process quits first. Worker thread. The drop keeps the file's name when
// that is a plain name and free, else a number is added ("a 2.png"); the
// file is read as an import reads it (no link followed, within the picture
// cap). The drop's path, or none with the reason in `why`.
std::optional<QString> keepPictureAsDrop(const QString &folder, const QString &file, QString *why = nullptr);
// The same for a link: a ".url.txt" drop holding the address.
std::optional<QString> keepLinkAsDrop(const QString &folder, const QString &url, QString *why = nullptr);

} // namespace vellora
