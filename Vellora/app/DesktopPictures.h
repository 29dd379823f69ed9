#pragma once
// The pictures the self-check imports. Linux has no desktop pictures folder at
// a fixed place, so the check takes the first folder, from a short fixed list,
// that holds enough pictures:
//   1. /usr/share/backgrounds
//   2. the folders directly inside it, in name order
//   3. the folders directly inside those, in name order
//   4. /usr/share/wallpapers
// Debian's mate-backgrounds puts its pictures at level 3
// (/usr/share/backgrounds/mate/abstract, ...).

#include <QString>
#include <QStringList>

namespace vellora {

// The folders to search, in order, under the given two bases. Folders that do
// not exist are left out.
QStringList desktopPictureFolders(const QString &backgrounds = QStringLiteral("/usr/share/backgrounds"),
                                  const QString &wallpapers = QStringLiteral("/usr/share/wallpapers"));

// Whether a file counts as a picture: its extension, lower-cased, is "heic",
// "jpg" or "png"; a HEIC file only when it actually decodes here.
bool isDesktopPicture(const QString &path);

// The pictures directly inside `folder` (no descent), in name order.
QStringList picturesIn(const QString &folder);

// The first `count` pictures of the first folder that holds at least `count`;
// empty when none does.
QStringList desktopPictures(const QStringList &folders, int count = 3);

} // namespace vellora
