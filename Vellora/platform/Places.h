#pragma once
// Where the application keeps its folders on this machine.
//
// Application Support is $XDG_DATA_HOME/Vellora (~/.local/share/Vellora).
//
// Cloud places stand in for the iCloud container and iCloud Drive: folders
// inside a folder that a sync client (Syncthing, Nextcloud, ...) keeps in
// step with the user's other machines. The user names that folder in the
// setting "syncedFolder"; with none named (or one that does not exist) there
// is no container.
//   container "iCloud.com.quendle.vellora" -> <synced>/iCloud.com.quendle.vellora
//   iCloud Drive                           -> <synced>, else the home folder

#include <QString>

#include <optional>

namespace vellora {

inline constexpr char kSyncedFolderKey[] = "syncedFolder";

// $XDG_DATA_HOME/Vellora, no trailing slash. Not created here.
QString applicationSupportFolder();

namespace CloudPlaces {
// The synced folder named in the user defaults, when it exists as a folder.
// Read once per process, on first use, from any thread.
std::optional<QString> syncedFolder();
// Forgets the folder read, so the next use reads the setting again.
void resetForTesting();
// The ubiquity container with that identifier; nothing without a synced folder.
std::optional<QString> container(const QString &identifier);
// The root of the user's cloud drive: the synced folder, else the home folder.
QString drive();
// True when `path` lies inside the synced folder.
bool contains(const QString &path);
} // namespace CloudPlaces

// Hidden without a rename: the name is listed in the ".hidden" file of its
// folder, which the Linux file managers honour. Names starting with "." are
// hidden anyway. Both best effort.
bool setHidden(const QString &path);
bool isHidden(const QString &path);

} // namespace vellora
