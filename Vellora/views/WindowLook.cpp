#include "WindowLook.h"

#include "WindowBackground.h"

#include <QApplication>
#include <QPalette>
#include <QStyleFactory>

namespace vellora {

QPalette windowPalette()
{
    const QColor background = windowBackground();
    const QColor raised(44, 44, 46);
    const QColor field(38, 38, 40);
    const QColor text(230, 230, 234);
    const QColor dimText(235, 235, 245, 110);
    const QColor accent(10, 132, 255);

    QPalette p;
    for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        const bool disabled = group == QPalette::Disabled;
        const QColor shown = disabled ? QColor(140, 140, 146) : text;
        p.setColor(group, QPalette::Window, background);
        p.setColor(group, QPalette::WindowText, shown);
        p.setColor(group, QPalette::Base, field);
        p.setColor(group, QPalette::AlternateBase, raised);
        p.setColor(group, QPalette::Text, shown);
        p.setColor(group, QPalette::PlaceholderText, dimText);
        p.setColor(group, QPalette::Button, raised);
        p.setColor(group, QPalette::ButtonText, shown);
        p.setColor(group, QPalette::BrightText, Qt::white);
        p.setColor(group, QPalette::ToolTipBase, raised);
        p.setColor(group, QPalette::ToolTipText, text);
        p.setColor(group, QPalette::Highlight, disabled ? QColor(70, 70, 74) : accent);
        p.setColor(group, QPalette::HighlightedText, Qt::white);
        p.setColor(group, QPalette::Link, QColor(100, 170, 255));
        p.setColor(group, QPalette::LinkVisited, QColor(160, 140, 255));
        p.setColor(group, QPalette::Light, QColor(70, 70, 74));
        p.setColor(group, QPalette::Midlight, QColor(56, 56, 60));
        p.setColor(group, QPalette::Mid, QColor(36, 36, 38));
        p.setColor(group, QPalette::Dark, QColor(20, 20, 22));
        p.setColor(group, QPalette::Shadow, QColor(0, 0, 0));
    }
    return p;
}

void applyWindowLook(QApplication &application)
{
    // Fusion paints with the palette; the desktop's own style may not.
    if (QStyle *style = QStyleFactory::create(QStringLiteral("Fusion")))
        QApplication::setStyle(style);
    QApplication::setPalette(windowPalette());
    application.setAttribute(Qt::AA_DontUseNativeDialogs);
}

} // namespace vellora
