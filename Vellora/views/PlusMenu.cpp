#include "PlusMenu.h"

#include "Glass.h"
#include "WindowBackground.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

namespace vellora {

namespace {
constexpr int kRowHeight = 32;
constexpr int kPadding = 6;
constexpr int kWidth = 260;
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

QSize PlusMenu::sizeHint() const { return QSize(kWidth, kPadding * 2 + kRowHeight * int(m_entries.size())); }

QRect PlusMenu::rowRect(int index) const { return QRect(kPadding, kPadding + index * kRowHeight, width() - 2 * kPadding, kRowHeight); }

int PlusMenu::rowAt(const QPoint &pos) const
{
    for (int i = 0; i < m_entries.size(); ++i)
        if (rowRect(i).contains(pos))
            return i;
    return -1;
}

void PlusMenu::popup(const QPoint &globalPos)
{
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
        p.setPen(lightGrey());
        p.drawText(row.adjusted(34, 0, -8, 0), Qt::AlignVCenter | Qt::AlignLeft, entry.title);
        p.setPen(QColor(255, 255, 255, 110));
        p.drawText(row.adjusted(34, 0, -8, 0), Qt::AlignVCenter | Qt::AlignRight, entry.shortcut);
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

void PlusMenu::mouseReleaseEvent(QMouseEvent *event)
{
    const int row = rowAt(event->position().toPoint());
    if (row >= 0)
        activate(row);
    else if (!rect().contains(event->position().toPoint()))
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
