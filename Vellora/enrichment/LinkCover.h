#pragma once
// The card a link gets when neither its page nor its metadata gave a picture:
// a dark gradient with the site's icon, the title and the domain.

#include <QImage>
#include <QString>
#include <optional>

namespace vellora {

inline constexpr int kLinkCoverWidth = 1280;
inline constexpr int kLinkCoverHeight = 800;

// A 1280 x 800 image, or nothing when it cannot be drawn. Needs a
// QGuiApplication (fonts). The title wraps inside 1088 x 140 and its last
// visible line ends in an ellipsis when the text goes on; the fonts are
// DejaVu Sans, loaded from the system's font folder, so a title wraps the
// same on every machine.
std::optional<QImage> renderLinkCover(const QString &title, const QString &domain,
                                      const std::optional<QImage> &icon);

} // namespace vellora
