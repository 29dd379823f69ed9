#pragma once
// vellora-share: what other programs share with Vellora becomes files in the
// drops folder, which the application takes in when it next looks (also if
// it is closed now). The two programs meet only through that folder and the
// application's settings file, which is read here as a plain file; of the
// application's code only its picture rule is used (PictureIntake.h).
//
// A drop is "<UUID>.<extension>" holding a picture's bytes as they came, or
// "<UUID>.url.txt" holding a link's text in UTF-8 (no byte-order mark, no
// final newline). Each is written under a dot-name (which the application
// skips), flushed to disk and only then renamed to its drop name, so a
// reader never sees half of one.

#include "PictureSizeCap.h"

#include <QByteArray>
#include <QLoggingCategory>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

namespace vshare {

Q_DECLARE_LOGGING_CATEGORY(lcShare)

// Where the application keeps its files, as the environment says.
struct Places {
    QString rootOverride;  // VELLORA_ROOT, empty when unset
    QString configHome;    // XDG_CONFIG_HOME or ~/.config
    QString dataHome;      // XDG_DATA_HOME or ~/.local/share
    QString home;
    static Places fromEnvironment();
};

// The drops folder the application scans: <VELLORA_ROOT>/Drops; else, when
// the settings name a synced folder that exists, the container's
// "Data/Drops" inside it; else "Drops" in the library folder the settings
// choose. Creates nothing.
QString dropsFolder(const Places &places);

// The link rule the application applies to a shared text: trimmed, one
// piece without spaces, "https://" put in front when it has no "://", an
// http or https address whose host holds a dot. The text to store, or none.
std::optional<QString> linkText(const QString &text);

// One thing to share, in the order given.
struct ShareInput {
    enum Kind { File, Text } kind = Text;
    QString value; // a path for File, the text for Text
};

// Command-line arguments (file paths, file:// URLs, addresses, texts) as
// inputs, in order. Options (--quiet) are not inputs.
std::vector<ShareInput> inputsFromArguments(const QStringList &arguments);

// The file-name extension for a picture's bytes, from their content alone;
// none when the bytes are no picture. Never a guess: a picture type that
// names no extension of its own is named by its media type.
std::optional<QString> pictureExtension(const QByteArray &bytes);

// Reads a file the user shared: not through a symbolic link, a regular
// file, at most `cap` bytes. None (with the reason) otherwise.
std::optional<QByteArray> readSharedFile(const QString &path, qint64 cap, QString *why = nullptr);

// Writes one drop into `folder` (made when missing) under a fresh UUID name
// with `suffix` (".png", ".url.txt", ...). The drop's path, or none (with
// the reason) when it could not be written whole.
std::optional<QString> writeDrop(const QString &folder, const QString &suffix, const QByteArray &bytes,
                                 QString *why = nullptr);

struct ShareResult {
    int written = 0;
    QStringList drops;    // paths, in input order
    QStringList problems; // one line per input that was not written
};

// Shares every input into `folder`. Text inputs are split into lines and
// every line that passes the link rule is one link drop; a text file is read
// the same way; a picture file is one picture drop when the application's
// import would take it (it decodes, within the same limits); anything else
// is reported in `problems`.
ShareResult share(const std::vector<ShareInput> &inputs, const QString &folder);

// The line the status view shows and the quiet run prints.
inline QString statusLine(const ShareResult &result)
{
    return result.written > 0 ? QStringLiteral("Added to Vellora") : QStringLiteral("Couldn't add to Vellora");
}

inline constexpr qint64 kMaxPictureBytes = vellora_format::kMaxPictureBytes;
inline constexpr qint64 kMaxTextBytes = 16ll * 1024 * 1024;

} // namespace vshare
