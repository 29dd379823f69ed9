#pragma once
// The files through which the desktops find the search provider, in the
// user's XDG data folder ($XDG_DATA_HOME, ~/.local/share):
//   dbus-1/services/com.quendle.vellora.SearchProvider.service
//       lets the session bus start "<program> --search-provider" on demand;
//   gnome-shell/search-providers/com.quendle.vellora.search-provider.ini
//       names it to GNOME Shell, beside the program's vellora.desktop;
//   krunner/dbusplugins/com.quendle.vellora.desktop
//       names it to KRunner.

#include <QByteArray>
#include <QList>
#include <QString>

#include <utility>

namespace vellora {

// The three files for `program` (an absolute path): each one's place below
// a data folder ("dbus-1/services/…") and its text. A system-wide install
// writes the same files below <prefix>/share.
QList<std::pair<QString, QByteArray>> searchProviderFiles(const QString &program);

// Writes the three files for `program` (an absolute path), each replaced
// whole and only when its text changed. False, with the reason, when one
// could not be written.
bool installSearchProviderFiles(const QString &program, QString *error = nullptr);

} // namespace vellora
