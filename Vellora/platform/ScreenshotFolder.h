#pragma once
// Where the desktop's screenshot tool saves its pictures, and which files of
// a folder are pictures.
//
// There is no one setting for this on Linux. The user's own choice
// ("screenshotFolder") comes first; otherwise GNOME and KDE Spectacle save
// into "Screenshots" inside the XDG pictures folder, and the older tools onto
// the desktop.

#include <QByteArray>
#include <QSet>
#include <QString>

namespace vellora {

class Defaults;

inline constexpr char kScreenshotFolderKey[] = "screenshotFolder";

// The setting "screenshotFolder" when it holds a path (a leading "~" is the
// home folder), else the first that exists of <pictures>/Screenshots and the
// desktop folder (the XDG user folders), else the desktop folder. Looks at
// the disk: not for the main thread.
QString screenshotFolder(const Defaults &defaults);
// The same from the setting's value alone, for a caller that has copied it.
QString screenshotFolder(const QString &setting);

// The absolute paths of the visible files directly in `folder` whose name
// ends in an extension of an image type. Hidden files (a leading ".") and
// sub-folders are left out; a folder that cannot be listed gives nothing.
QSet<QString> imageFiles(const QString &folder);

// Whether a file name's extension belongs to an image type.
bool hasImageExtension(const QString &fileName);

// False for a JPEG or PNG that stops before its format's end (the JPEG
// end-of-image marker, the PNG IEND chunk): a file whose writer has closed it
// before writing the rest. Bytes after that end (an appended video, zero
// padding) do not make it partial. Decoding is no test of this, since a
// cut-off JPEG decodes. True for any other bytes.
bool endsWhole(const QByteArray &bytes);

} // namespace vellora
