#pragma once
// Where the library folder lives, and moving it from one place to another.
//
// Three places, chosen by the user default "libraryLocation":
//   "local"       Application Support/Vellora
//   "icloud"      the "Data" folder of the cloud container (none without one)
//   "iclouddrive" "Vellora.library" in the cloud drive
// Any other value means the local folder. VELLORA_ROOT in the environment
// overrides the setting for the whole process.

#include <QMap>
#include <QString>

#include <functional>
#include <optional>

namespace vellora {

class LibraryLocation {
public:
    LibraryLocation() = delete;

    static constexpr char kLocationKey[] = "libraryLocation";
    static constexpr char kContainerIdentifier[] = "iCloud.com.quendle.vellora";
    // The message of a move to a cloud place while there is none.
    static constexpr char kICloudUnavailable[] = "iCloud isn't available to Vellora";

    struct MigrationResult {
        // Each moved entry with its item count.
        QMap<QString, int> moved;
        // The target already held a library (or was the current folder).
        bool reusedExisting = false;
        // Where the old folder went; nothing when nothing was moved.
        std::optional<QString> backup;
    };

    using Progress = std::function<void(const QString &)>;

    // The library folder of this process.
    static QString root();
    // The folder of a location value; nothing for "icloud" and "iclouddrive"
    // without a synced folder.
    static std::optional<QString> url(const QString &location);
    // True when `folder` is the container folder or the cloud-drive folder.
    static bool isICloud(const QString &folder);
    static bool iCloudAvailable();
    static std::optional<QString> iCloudContainerURL();
    // Empty without a synced folder.
    static QString iCloudDriveURL();
    static QString localURL();

    // Moves the library to `location` and records the choice. Without a
    // callback each progress message is printed. Throws FileError; after a
    // failure everything that was moved is back where it was and the setting
    // keeps the old location.
    static MigrationResult migrate(const QString &location, const Progress &progress = {});
    // Moves library.json and the media folders from `from` into `to` and
    // renames `from` to `backupName` beside it. Throws FileError and then
    // puts back what it moved. An entry that already stands at the target is
    // set aside under a hidden name, never deleted.
    static MigrationResult moveContents(const QString &from, const QString &to, const QString &backupName,
                                        const Progress &progress);
    // 0 for nothing, 1 for a file, the number of direct entries of a folder.
    static int itemCount(const QString &path);

    // The library entries a migration moves, in order.
    static QStringList movedEntries();

    // Tests: forget the folders computed so far (the setting that names the
    // synced folder may have changed).
    static void resetForTesting();
    // Tests: called before each entry is moved; may throw to fail the move.
    static void setMoveHookForTesting(std::function<void(const QString &name)> hook);
};

} // namespace vellora
