#pragma once
// What the tests of the window's look ask of a tooltip: whether one is shown,
// and whether its text can be read on its background.

#include <QApplication>
#include <QColor>
#include <QHash>
#include <QImage>
#include <QLabel>
#include <QWidget>

#include <algorithm>
#include <cmath>

// WCAG contrast ratio of two colours.
inline double contrast(const QColor &a, const QColor &b)
{
    auto luminance = [](const QColor &c) {
        auto channel = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
    };
    const double la = luminance(a) + 0.05;
    const double lb = luminance(b) + 0.05;
    return std::max(la, lb) / std::min(la, lb);
}

// The tooltip on screen, if one is.
inline QLabel *shownToolTip()
{
    for (QWidget *widget : QApplication::topLevelWidgets())
        if (widget->inherits("QTipLabel") && widget->isVisible())
            return qobject_cast<QLabel *>(widget);
    return nullptr;
}

// How a picture of text reads: its background is the commonest colour, its
// text the colour farthest from it.
struct TextColours {
    QColor background;
    double contrast = 1;
};

inline TextColours textColours(const QImage &image)
{
    QHash<QRgb, int> counts;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            counts[image.pixel(x, y)] += 1;
    QRgb background = 0;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        if (it.value() > counts.value(background))
            background = it.key();
    double best = 1;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        best = std::max(best, contrast(QColor(it.key()), QColor(background)));
    return {QColor(background), best};
}
