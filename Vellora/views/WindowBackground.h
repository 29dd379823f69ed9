#pragma once

#include <QColor>

namespace vellora {

// The one dark grey every surface of the main window sits on; tiles, stage and
// columns all paint it so that no seam shows between them.
inline const QColor &windowBackground()
{
    static const QColor colour = QColor::fromRgb(30, 30, 30, 255);
    return colour;
}

} // namespace vellora
