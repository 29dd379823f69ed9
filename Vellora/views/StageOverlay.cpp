#include "StageOverlay.h"

#include <QMouseEvent>
#include <QPushButton>

namespace vellora {

StageOverlay::StageOverlay(QWidget *parent) : QWidget(parent), m_liveText(new LiveText(this)), m_button(new QPushButton(this))
{
    setAttribute(Qt::WA_NoSystemBackground);
    m_button->setText(tr("Live Text"));
    m_button->setCursor(Qt::PointingHandCursor);
    m_button->setFocusPolicy(Qt::NoFocus);
    // A small dark capsule with a thin light rim, like the other controls
    // that float over pictures.
    m_button->setStyleSheet(QStringLiteral(
        "QPushButton { color: white; background: rgba(20,20,20,200); border: 1px solid rgba(255,255,255,90);"
        " border-radius: 11px; padding: 3px 11px; font-size: 12px; font-weight: 600; }"
        "QPushButton:checked { background: rgba(64,140,255,220); }"));
    m_button->setCheckable(true);
    m_button->hide();
    connect(m_button, &QPushButton::clicked, this, [this](bool on) {
        if (on)
            m_liveText->selectAll();
        else
            m_liveText->clearSelection();
    });
    connect(m_liveText, &LiveText::wordsReady, this, &StageOverlay::updateButton);
    connect(m_liveText, &LiveText::selectionChanged, this,
            [this] { m_button->setChecked(m_liveText->allSelected()); });
}

void StageOverlay::setItem(const std::optional<Item> &item, LibraryStore *store)
{
    m_item = item;
    m_store = store;
    updateButton();
}

void StageOverlay::updateButton()
{
    const bool words = m_item && m_liveText->itemId() == m_item->id && !m_liveText->words().isEmpty();
    m_button->setVisible(words);
    m_button->setChecked(false);
    placeButton();
}

void StageOverlay::placeButton()
{
    m_button->adjustSize();
    const QSize size = m_button->sizeHint();
    m_button->setGeometry(width() - size.width() - 12, height() - size.height() - 12, size.width(), size.height());
    m_button->raise();
}

void StageOverlay::resizeEvent(QResizeEvent *)
{
    m_liveText->setGeometry(rect());
    placeButton();
}

void StageOverlay::mousePressEvent(QMouseEvent *event)
{
    event->ignore();
}

} // namespace vellora
