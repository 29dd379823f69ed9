#pragma once
// The installed application's manifest: "Info.plist" in the top folder of the
// application tree, XML or binary, read with libplist.

#include <QString>
#include <optional>

namespace vellora {

inline constexpr const char *kUpdateBundleIdentifier = "com.quendle.vellora";

struct BundleManifest {
    QString identifier;   // CFBundleIdentifier
    QString version;      // CFBundleShortVersionString
    std::optional<qint64> build; // CFBundleVersion read as an integer
};

// Reads "<bundle>/Info.plist" without following a link, within a small size
// cap; nothing when it is absent, unreadable or not a dictionary.
std::optional<BundleManifest> readBundleManifest(const QString &bundlePath);

// The manifest the build writes into a packaged tree.
QByteArray bundleManifestXml(const QString &version, qint64 build);

} // namespace vellora
