#include "PlusMenu.h"

#include "Glass.h"
#include "WindowBackground.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>

namespace vellora {

namespace {
constexpr int kRowHeight = 32;
constexpr int kPadding = 6;
constexpr int kMinimumWidth = 240;
constexpr int kIconColumn = 34;
constexpr int kTitleGap = 24;
} // namespace

PlusMenu::PlusMenu(const QList<Entry> &entries, QWidget *parent)
    : QWidget(parent, Qt::Popup | Qt::FramelessWindowHint), m_entries(entries)
{
    setAttribute(Qt::WA_TranslucentBackground);
    setMouseTracking(true);
    QFont f = font();
    f.setPixelSize(14);
    setFont(f);
    resize(sizeHint());
}

QSize PlusMenu::sizeHint() const
{
    // Wide enough that the longest title and its shortcut never meet.
    const QFontMetrics metrics(font());
    int widest = 0;
    for (const Entry &entry : m_entries)
        widest = std::max(widest, metrics.horizontalAdvance(entry.title) + kTitleGap
                                      + metrics.horizontalAdvance(entry.shortcut));
    const int width = std::max(kMinimumWidth, 2 * kPadding + kIconColumn + widest + 8);
    return QSize(width, kPadding * 2 + kRowHeight * int(m_entries.size()));
}

QRect PlusMenu::rowRect(int index) const { return QRect(kPadding, kPadding + index * kRowHeight, width() - 2 * kPadding, kRowHeight); }

int PlusMenu::rowAt(const QPoint &pos) const
{
    for (int i = 0; i < m_entries.size(); ++i)
        if (rowRect(i).contains(pos))
            return i;
    return -1;
}

void PlusMenu::popup(const QPoint &globalPos, const QRect &opener)
{
    m_opener = opener;
    m_openingPress = opener.isValid();
    resize(sizeHint());
    move(globalPos);
    show();
    setFocus(Qt::PopupFocusReason);
}

void PlusMenu::activate(int index)
{
    if (index < 0 || index >= m_entries.size())
        return;
    // Copy first: the action may destroy this menu.
    const std::function<void()> action = m_entries.at(index).action;
    close();
    if (action)
        action();
}

void PlusMenu::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing, true);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 10, 10);
    p.fillPath(shape, windowBackground().lighter(135));
    p.setPen(QPen(QColor(255, 255, 255, 40), 1));
    p.drawPath(shape);
    for (int i = 0; i < m_entries.size(); ++i) {
        const QRect row = rowRect(i);
        if (i == m_hovered) {
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(255, 255, 255, 24));
            p.drawRoundedRect(row, 6, 6);
        }
        const Entry &entry = m_entries.at(i);
        paintSymbol(p, QRectF(row.left() + 8, row.center().y() - 8, 16, 16), entry.icon, lightGrey());
        const QRect text = row.adjusted(kIconColumn, 0, -8, 0);
        const int shortcutWidth = p.fontMetrics().horizontalAdvance(entry.shortcut);
        p.setPen(QColor(255, 255, 255, 110));
        p.drawText(text, Qt::AlignVCenter | Qt::AlignRight, entry.shortcut);
        // The title gives way to the shortcut, never the other way round.
        const int titleWidth = std::max(0, text.width() - shortcutWidth - (entry.shortcut.isEmpty() ? 0 : kTitleGap));
        p.setPen(lightGrey());
        p.drawText(QRect(text.left(), text.top(), titleWidth, text.height()), Qt::AlignVCenter | Qt::AlignLeft,
                   p.fontMetrics().elidedText(entry.title, Qt::ElideRight, titleWidth));
    }
}

void PlusMenu::mouseMoveEvent(QMouseEvent *event)
{
    const int row = rowAt(event->position().toPoint());
    if (row != m_hovered) {
        m_hovered = row;
        update();
    }
}

void PlusMenu::leaveEvent(QEvent *)
{
    m_hovered = -1;
    update();
}

void PlusMenu::mousePressEvent(QMouseEvent *event)
{
    m_openingPress = false;
    QWidget::mousePressEvent(event);
}

void PlusMenu::mouseReleaseEvent(QMouseEvent *event)
{
    const bool opening = m_openingPress;
    m_openingPress = false;
    const int row = rowAt(event->position().toPoint());
    if (row >= 0) {
        activate(row);
        return;
    }
    if (rect().contains(event->position().toPoint()))
        return;
    // Press on the button, release on it: a click, and the menu stays. A
    // press dragged off elsewhere and let go there chooses nothing.
    if (opening && m_opener.contains(event->globalPosition().toPoint()))
        return;
    close();
}

void PlusMenu::keyPressEvent(QKeyEvent *event)
{
    switch (event->key()) {
    case Qt::Key_Escape:
        close();
        break;
    case Qt::Key_Down:
        m_hovered = m_entries.isEmpty() ? -1 : (m_hovered + 1) % int(m_entries.size());
        update();
        break;
    case Qt::Key_Up:
        m_hovered = m_entries.isEmpty() ? -1 : (m_hovered + int(m_entries.size()) - 1) % int(m_entries.size());
        update();
        break;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        activate(m_hovered);
        break;
    default:
        QWidget::keyPressEvent(event);
    }
}

void PlusMenu::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    emit closed();
}

} // namespace vellora
