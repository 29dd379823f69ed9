#pragma once
// The environment variables for scripted runs of the window, read as the
// window applies them. Pure.

#include "library/Board.h"
#include "library/SmartFolder.h"

#include <QList>
#include <QRect>
#include <QSize>
#include <QSizeF>
#include <QString>

#include <optional>

namespace vellora {

inline constexpr double kDefaultSidebarWidth = 244.0;
// The window is never made smaller than this (points).
inline constexpr double kMinimumWindowWidth = 700.0;
inline constexpr double kMinimumWindowHeight = 450.0;

// The size a new window opens at: `preferred`, made smaller where the
// screen's available area (less room for the frame a window manager adds)
// is smaller, but never below `minimum`. An invalid area leaves `preferred`.
QSize firstWindowSize(QSize preferred, const QRect &available, QSize minimum);

// A whole text read as a finite number above 0; none for anything else
// (blanks, "nan", "inf", 0, a negative value, trailing text).
std::optional<double> positiveNumber(const QString &text);

// The default of "sidebarWidth": VELLORA_SIDEBAR_WIDTH when it reads as a
// finite positive number, else 244.
double sidebarWidthDefault(const std::optional<QString> &environmentValue);

// VELLORA_WINDOW ("1400x900"): split on "x" with empty pieces dropped and
// pieces that are no number dropped; exactly two numbers give the size. A
// piece that reads as a number but is not finite and positive rejects the
// value. The size is raised to at least 700 x 450.
std::optional<QSizeF> windowSizeFromEnvironment(const QString &value);

// VELLORA_SELECT: the id of the first of the smart folders, then the
// collections, then the built-in sections whose name equals `name` exactly.
std::optional<QString> sectionNamed(const QString &name, const QList<SmartFolder> &smartFolders,
                                    const QList<Board> &collections);

} // namespace vellora
