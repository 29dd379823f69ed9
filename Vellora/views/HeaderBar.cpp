#include "HeaderBar.h"
#include "enrichment/LanguageFeatures.h"

#include "Glass.h"
#include "WindowBackground.h"
#include "enrichment/Search.h"

#include <QActionGroup>
#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPixmap>

namespace vellora {

namespace {
QColor blackAt(double opacity) { return QColor(0, 0, 0, int(opacity * 255 + 0.5)); }
QColor whiteAt(double opacity) { return QColor(255, 255, 255, int(opacity * 255 + 0.5)); }

QIcon swatchIcon(double hue)
{
    QPixmap pixmap(14, 14);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setPen(Qt::NoPen);
    painter.setBrush(hueSwatchColour(hue));
    painter.drawEllipse(QRectF(1, 1, 12, 12));
    return QIcon(pixmap);
}
} // namespace

const QList<HeaderBar::Swatch> &HeaderBar::swatches()
{
    static const QList<Swatch> rows = {
        {tr("Red"), 0},    {tr("Orange"), 30}, {tr("Yellow"), 55},
        {tr("Green"), 120}, {tr("Teal"), 175},  {tr("Blue"), 215},
        {tr("Purple"), 275}, {tr("Pink"), 325},
    };
    return rows;
}

bool HeaderBar::filterActive(const QString &sort, std::optional<double> hueFilter,
                             const std::optional<QString> &similarTo)
{
    return sort != QLatin1String("newest") || similarTo.has_value() || hueFilter.has_value();
}

HeaderBar::HeaderBar(Search *search, QWidget *parent) : QWidget(parent), m_search(search)
{
    setFixedHeight(kRowHeight);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, windowBackground());
    pal.setColor(QPalette::WindowText, lightGrey());
    pal.setColor(QPalette::ButtonText, lightGrey());
    pal.setColor(QPalette::Text, lightGrey());
    pal.setColor(QPalette::PlaceholderText, QColor(255, 255, 255, 110));
    setPalette(pal);
    setAutoFillBackground(true);
    QFont controls = font();
    controls.setPixelSize(15);
    controls.setWeight(QFont::Medium);
    setFont(controls);

    m_row = new QHBoxLayout(this);
    m_row->setContentsMargins(21, 0, 12, 0);
    m_row->setSpacing(0);
    m_row->addStretch(1);

    auto *glass = new QWidget(this);
    m_controls = glass;
    auto *controlsRow = new QHBoxLayout(glass);
    controlsRow->setContentsMargins(0, 0, 0, 0);
    controlsRow->setSpacing(8);
    m_row->addWidget(glass, 0, Qt::AlignVCenter);

    QFont small = controls;
    small.setPixelSize(13);

    m_emptyTrash = new SymbolButton(QString(), glass);
    m_emptyTrash->setText(tr("Empty Trash"));
    m_emptyTrash->setFont(small);
    m_emptyTrash->setCapsule(blackAt(0.15), 0.12);
    m_emptyTrash->setFixedSize(m_emptyTrash->fontMetrics().horizontalAdvance(m_emptyTrash->text()) + 28, 36);
    connect(m_emptyTrash, &QPushButton::clicked, this, [this] {
        if (emptyTrash)
            emptyTrash();
    });
    controlsRow->addWidget(m_emptyTrash);

    m_fieldCapsule = new GlassCapsule(blackAt(0.15), 0.12, glass);
    m_fieldCapsule->setFixedSize(200, 36);
    auto *fieldRow = new QHBoxLayout(m_fieldCapsule);
    fieldRow->setContentsMargins(14, 0, 14, 0);
    fieldRow->setSpacing(4);
    m_field = new QLineEdit(m_fieldCapsule);
    m_field->setPlaceholderText(tr("Search"));
    // Search plans its query with the language model; while the model rests
    // after a failure it searches without it, and says so.
    auto showRest = [this] {
        const QString rest = languageModelRestNote();
        m_field->setPlaceholderText(rest.isEmpty() ? tr("Search")
                                                   : tr("Search without the language model"));
        m_field->setToolTip(rest);
    };
    connect(static_cast<LanguageModelRests *>(&LanguageModel::restSignals()), &LanguageModelRests::changed, this,
            showRest);
    m_field->setFrame(false);
    m_field->setFont(small);
    m_field->setAttribute(Qt::WA_MacShowFocusRect, false);
    m_field->setStyleSheet(QStringLiteral("QLineEdit { background: transparent; border: none; color: rgb(214,214,214); }"));
    m_field->installEventFilter(this);
    fieldRow->addWidget(m_field, 1);
    m_spinner = new Spinner(12, m_fieldCapsule);
    fieldRow->addWidget(m_spinner, 0, Qt::AlignVCenter);
    controlsRow->addWidget(m_fieldCapsule);
    showRest();
    connect(m_field, &QLineEdit::textEdited, this, [this](const QString &text) {
        if (m_search)
            m_search->setQuery(text);
    });
    if (m_search) {
        m_field->setText(m_search->query());
        connect(m_search, &Search::queryChanged, this, [this](const QString &query) {
            if (m_field->text() != query)
                m_field->setText(query);
        });
        connect(m_search, &Search::thinkingChanged, this, [this](bool thinking) { m_spinner->setRunning(thinking); });
        m_spinner->setRunning(m_search->thinking());
    }

    m_group = new GlassCapsule(blackAt(0.15), 0.26, glass);
    m_group->setFixedHeight(36);
    auto *groupRow = new QHBoxLayout(m_group);
    groupRow->setContentsMargins(7, 0, 7, 0);
    groupRow->setSpacing(5);
    m_inspector = new SymbolButton(QStringLiteral("info.circle"), m_group);
    m_inspector->setFixedSize(28, 28);
    connect(m_inspector, &QPushButton::clicked, this, [this] {
        m_inspectorVisible = !m_inspectorVisible;
        refresh();
        emit inspectorVisibleChanged(m_inspectorVisible);
    });
    groupRow->addWidget(m_inspector);
    m_menuButton = new SymbolButton(QStringLiteral("line.3.horizontal.decrease"), m_group);
    m_menuButton->setFixedSize(28, 28);
    m_menuButton->setToolTip(tr("Sort and Filter"));
    m_menuButton->setAccessibleName(tr("Sort and Filter"));
    connect(m_menuButton, &QPushButton::clicked, this, &HeaderBar::showMenu);
    groupRow->addWidget(m_menuButton);
    controlsRow->addWidget(m_group);

    m_toggle = new SymbolButton(QStringLiteral("magnifyingglass"), glass);
    m_toggle->setFixedSize(36, 36);
    m_toggle->setToolTip(tr("Search"));
    m_toggle->setAccessibleName(tr("Search"));
    connect(m_toggle, &QPushButton::clicked, this, [this] {
        if (toggleSearch)
            toggleSearch();
        else
            setSearching(!m_searching), emit searchingChanged(m_searching);
    });
    controlsRow->addWidget(m_toggle);

    refresh();
}

QWidget *HeaderBar::searchCapsule() const { return m_fieldCapsule; }

void HeaderBar::setLeadingWidget(QWidget *widget)
{
    if (m_leading) {
        m_row->removeWidget(m_leading);
        m_leading->removeEventFilter(this);
        m_leading->hide();
    }
    m_leading = widget;
    if (widget) {
        widget->setParent(this);
        // Not shown here: a widget that hid itself (the banner with nothing to
        // say) stays hidden; the layout shows any other with the bar.
        m_row->insertWidget(0, widget, 0, Qt::AlignVCenter);
        widget->installEventFilter(this);
    }
    placeLeading();
}

void HeaderBar::placeLeading()
{
    // In the row while the row leaves it its least width and 100 pixels for
    // its words (or all it asks for, when that is less); the controls keep
    // their whole width either way.
    constexpr int kLeastWords = 100;
    const QMargins padding(21, 0, 12, 0);
    if (!m_controls)
        return;
    bool below = false;
    if (m_leading && !m_leading->isHidden()) {
        const int room = width() - padding.left() - padding.right() - m_controls->sizeHint().width();
        const int wanted = std::min(m_leading->sizeHint().width(), m_leading->minimumSizeHint().width() + kLeastWords);
        below = room < wanted;
    }
    if (m_leading) {
        const bool inRow = m_row->indexOf(m_leading) >= 0;
        if (below && inRow)
            m_row->removeWidget(m_leading);
        else if (!below && !inRow)
            m_row->insertWidget(0, m_leading, 0, Qt::AlignVCenter);
    }
    // Its own row, with a gap under it; the margin that parts it from the
    // controls in the row runs into the padding, so that it ends where they do.
    constexpr int kGap = 8;
    const int extra = below ? m_leading->sizeHint().height() + kGap : 0;
    m_row->setContentsMargins(padding.left(), 0, padding.right(), extra);
    if (below) {
        const int trailing = m_leading->layout() ? m_leading->layout()->contentsMargins().right() : 0;
        m_leading->setGeometry(padding.left(), kRowHeight, width() - padding.left() - padding.right() + trailing,
                               extra - kGap);
    }
    setFixedHeight(kRowHeight + extra);
    if (below != m_leadingBelow) {
        m_leadingBelow = below;
        emit leadingBelowChanged(below);
    }
}

bool HeaderBar::event(QEvent *event)
{
    const bool done = QWidget::event(event);
    // The controls or the leading widget changed their size.
    if (event->type() == QEvent::LayoutRequest)
        placeLeading();
    return done;
}

void HeaderBar::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    placeLeading();
}

void HeaderBar::refresh()
{
    m_emptyTrash->setVisible(bool(emptyTrash));
    m_fieldCapsule->setVisible(m_searching);
    const bool inspectorShown = m_inspectorVisible;
    const QString inspectorLabel = inspectorShown ? tr("Hide Inspector") : tr("Show Inspector");
    m_inspector->setToolTip(inspectorLabel);
    m_inspector->setAccessibleName(inspectorLabel);
    m_menuButton->setHighlight(filterActive(m_sort, m_hueFilter, m_similarTo) ? 0.12 : 0.0);
    // The toggle lightens while the search field is open, so it reads as pressed.
    m_toggle->setCapsule(m_searching ? whiteAt(0.08) : blackAt(0.15), 0.12);
    if (m_search)
        m_spinner->setRunning(m_search->thinking());
}

void HeaderBar::setSearching(bool searching)
{
    if (m_searching == searching)
        return;
    m_searching = searching;
    refresh();
    if (m_searching && m_searchFocused)
        m_field->setFocus(Qt::OtherFocusReason);
}

void HeaderBar::setSearchFocused(bool focused)
{
    if (focused && m_searching)
        m_field->setFocus(Qt::OtherFocusReason);
    else if (!focused && m_field->hasFocus())
        m_field->clearFocus();
    m_searchFocused = focused;
}

void HeaderBar::setInspectorVisible(bool visible)
{
    if (m_inspectorVisible == visible)
        return;
    m_inspectorVisible = visible;
    refresh();
}

void HeaderBar::setSort(const QString &sort)
{
    if (m_sort == sort)
        return;
    m_sort = sort;
    refresh();
}

void HeaderBar::setHueFilter(std::optional<double> hue)
{
    if (m_hueFilter == hue)
        return;
    m_hueFilter = hue;
    refresh();
}

void HeaderBar::setSimilarTo(const std::optional<QString> &id)
{
    if (m_similarTo == id)
        return;
    m_similarTo = id;
    refresh();
}

void HeaderBar::userSetSort(const QString &sort)
{
    if (m_sort == sort)
        return;
    setSort(sort);
    emit sortChanged(sort);
}

void HeaderBar::userSetHue(std::optional<double> hue)
{
    if (m_hueFilter == hue)
        return;
    setHueFilter(hue);
    emit hueFilterChanged(hue);
}

void HeaderBar::userSetSimilar(const std::optional<QString> &id)
{
    if (m_similarTo == id)
        return;
    setSimilarTo(id);
    emit similarToChanged(id);
}

QMenu *HeaderBar::buildMenu(QWidget *parent)
{
    auto *menu = new QMenu(parent);
    menu->addSection(tr("Sort by"));
    auto *group = new QActionGroup(menu);
    group->setExclusive(true);
    for (const SortOrder &order : sortOrders()) {
        QAction *action = menu->addAction(order.label);
        // "sortNewest", "sortOldest", "sortAz", "sortZa", "sortOpened".
        action->setObjectName(QStringLiteral("sort") + order.value.left(1).toUpper() + order.value.mid(1));
        action->setCheckable(true);
        action->setChecked(order.value == m_sort);
        action->setData(order.value);
        group->addAction(action);
        const QString value = order.value;
        connect(action, &QAction::triggered, this, [this, value] { userSetSort(value); });
    }
    menu->addSeparator();
    QAction *clear = menu->addAction(tr("Clear Similar"));
    clear->setObjectName(QStringLiteral("clearSimilar"));
    clear->setEnabled(m_similarTo.has_value());
    connect(clear, &QAction::triggered, this, [this] { userSetSimilar(std::nullopt); });
    menu->addSection(tr("Colour"));
    QAction *any = menu->addAction(tr("Any Colour"));
    any->setObjectName(QStringLiteral("anyColour"));
    any->setCheckable(true);
    any->setChecked(!m_hueFilter);
    connect(any, &QAction::triggered, this, [this] { userSetHue(std::nullopt); });
    for (const Swatch &swatch : swatches()) {
        QAction *action = menu->addAction(swatchIcon(swatch.hue), swatch.name);
        // "hue0", "hue30" … by the swatch's hue, whatever its name reads.
        action->setObjectName(QStringLiteral("hue%1").arg(swatch.hue));
        action->setCheckable(true);
        action->setChecked(m_hueFilter && *m_hueFilter == swatch.hue);
        const double hue = swatch.hue;
        connect(action, &QAction::triggered, this, [this, hue] { userSetHue(hue); });
    }
    return menu;
}

void HeaderBar::showMenu()
{
    QMenu *menu = buildMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(m_menuButton->mapToGlobal(QPoint(0, m_menuButton->height() + 4)));
}

bool HeaderBar::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_leading && (event->type() == QEvent::ShowToParent || event->type() == QEvent::HideToParent))
        placeLeading();
    if (watched == m_field) {
        if (event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut) {
            const bool focused = event->type() == QEvent::FocusIn;
            if (focused != m_searchFocused) {
                m_searchFocused = focused;
                emit searchFocusedChanged(focused);
            }
        } else if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent *>(event)->key() == Qt::Key_Escape) {
            // Escape first clears the text; on an empty field it closes the search.
            if (!m_field->text().isEmpty()) {
                m_field->clear();
                if (m_search)
                    m_search->setQuery(QString());
            } else if (toggleSearch) {
                toggleSearch();
            } else {
                setSearching(false);
                emit searchingChanged(false);
            }
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace vellora
