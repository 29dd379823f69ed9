#include "Sidebar.h"

#include "Glass.h"
#include "PlainText.h"
#include "SidebarAccessible.h"
#include "WindowBackground.h"
#include "CollectionContents.h"
#include "library/LibraryStore.h"
#include "library/LibraryStoreMedia.h"

#include <QAccessible>
#include <QApplication>
#include <QContextMenuEvent>
#include <QDateTime>
#include <QDrag>
#include <QDragEnterEvent>
#include <QEasingCurve>
#include <QHelpEvent>
#include <QKeySequence>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QToolTip>
#include <QVariantAnimation>

namespace vellora {

const char *const Sidebar::kCollectionMime = "application/x-vellora-collection-id";

namespace {
constexpr double kSpacing = 2.75;
constexpr double kPlusFrame = 59.0;
constexpr double kRowHeight = 31.0;
constexpr double kHeaderRow = 28.0;
constexpr double kHandleWidth = 5.0;

QColor whiteAt(double opacity)
{
    QColor c(255, 255, 255);
    c.setAlphaF(float(qBound(0.0, opacity, 1.0)));
    return c;
}
} // namespace

double Sidebar::clampedDragWidth(double x) { return qBound(kMinimumWidth, x, kMaximumWidth); }

double Sidebar::drawnWidth(double stored) { return stored <= kMinimumWidth ? kMinimumWidth : stored; }

Sidebar::Sidebar(LibraryStore &store, QWidget *parent)
    : QWidget(parent), m_store(store), m_field(new QLineEdit(this)), m_animation(new QVariantAnimation(this))
{
    setMouseTracking(true);
    setAcceptDrops(true);
    setAutoFillBackground(false);
    setAttribute(Qt::WA_OpaquePaintEvent);
    QFont f = font();
    f.setPixelSize(14);
    setFont(f);

    m_field->hide();
    m_field->setPlaceholderText(tr("Name"));
    m_field->setFixedHeight(22);
    m_field->setStyleSheet(QStringLiteral("QLineEdit { background: rgba(0,0,0,60); color: rgb(214,214,214);"
                                          " border: 1px solid rgba(255,255,255,60); border-radius: 5px; padding: 0 4px; }"));
    m_field->installEventFilter(this);
    connect(m_field, &QLineEdit::textChanged, this, [this](const QString &text) {
        if (text == m_draft)
            return;
        m_draft = text;
        emit draftChanged(text);
    });
    connect(m_field, &QLineEdit::returnPressed, this, [this] { runCommitRename(); });

    m_animation->setDuration(150);
    m_animation->setEasingCurve(QEasingCurve::InOutQuad);
    m_animation->setStartValue(0.0);
    m_animation->setEndValue(1.0);
    connect(m_animation, &QVariantAnimation::valueChanged, this, [this](const QVariant &value) {
        const double t = value.toDouble();
        for (const Row &row : std::as_const(m_rows))
            m_fillShown[row.id] = m_fillFrom.value(row.id) + (targetFill(row) - m_fillFrom.value(row.id)) * t;
        update();
    });

    connect(&m_store, &LibraryStore::collectionsChanged, this, &Sidebar::rebuild);
    auto countAgain = [this] {
        m_counts.invalidate();
        rebuild();
    };
    connect(&m_store, &LibraryStore::smartFoldersChanged, this, countAgain);
    connect(&m_store, &LibraryStore::loadedChanged, this, countAgain);
    // Edits of known records adjust the counts by those records alone.
    connect(&m_store, &LibraryStore::itemsEdited, this, [this](const ItemChanges &changes) {
        m_editSeen = true;
        m_counts.apply(changes, m_store.items());
    });
    connect(&m_store, &LibraryStore::itemsChanged, this, [this] {
        if (!m_editSeen)
            m_counts.invalidate();
        m_editSeen = false;
        rebuild();
    });

    setFixedWidth(int(drawnWidth(m_width)));
    setMinimumHeight(300);
    installSidebarAccessibility();
    rebuild();
}

Sidebar::~Sidebar()
{
    if (m_plusMenu)
        m_plusMenu->deleteLater();
}

// --- Bindings ---

void Sidebar::setSelection(const QString &id)
{
    if (m_selection == id)
        return;
    m_selection = id;
    animateStates();
    notifyAccessibility();
}

void Sidebar::setRenaming(const std::optional<QString> &id)
{
    if (m_renaming == id)
        return;
    m_renaming = id;
    if (id)
        m_field->setText(m_draft);
    placeRenameField();
    update();
}

void Sidebar::setDraft(const QString &text)
{
    m_draft = text;
    if (m_field->text() != text)
        m_field->setText(text);
}

bool Sidebar::focused() const { return m_field->isVisible() && m_field->hasFocus(); }

void Sidebar::setFocused(bool focused)
{
    if (focused && m_field->isVisible()) {
        m_field->setFocus(Qt::OtherFocusReason);
        // The whole name, so that what is typed replaces it.
        m_field->selectAll();
    }
    else if (!focused)
        m_field->clearFocus();
}

void Sidebar::setShowingPlus(bool showing)
{
    if (showing == bool(m_plusMenu))
        return;
    if (!showing) {
        m_plusMenu->close();
        return;
    }
    m_plusMenu = new PlusMenu(plusEntries, this);
    m_plusMenu->setAttribute(Qt::WA_DeleteOnClose);
    connect(m_plusMenu, &PlusMenu::closed, this, [this] {
        if (m_plusMenu)
            m_plusMenu->deleteLater();
        m_plusMenu.clear();
        emit showingPlusChanged(false);
    });
    const QRect button = plusButtonRect();
    m_plusMenu->popup(mapToGlobal(button.bottomLeft() + QPoint(0, 4)), QRect(mapToGlobal(button.topLeft()), button.size()));
    emit showingPlusChanged(true);
}

void Sidebar::setSidebarWidth(double width)
{
    if (m_width == width)
        return;
    m_width = width;
    setFixedWidth(int(std::ceil(drawnWidth(width))));
    relayout();
}

// --- Model ---

void Sidebar::rebuild()
{
    m_rows.clear();
    if (!m_counts.valid() || QDateTime::currentSecsSinceEpoch() - m_counts.countedAt() > 60)
        recount();

    int position = 0;
    for (const BuiltInSection &fixed : builtInSections()) {
        Row row{RowType::Fixed, fixed.id, fixed.rowTitle, fixed.icon, QString()};
        if (fixed.id == kSectionLinks)
            row.trailing = QString::number(m_counts.count(0));
        // The position is the key that shows the row (the Go menu's
        // Ctrl+Alt+1 to 4): a hint, not a count.
        row.hint = QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key(Qt::Key_1 + position)).toString(QKeySequence::NativeText);
        m_rows.append(row);
        ++position;
    }
    for (const Board &board : m_store.collections()) {
        Row row{RowType::Collection, board.id, board.name, QStringLiteral("tray.2"), QString()};
        row.shared = board.zone.has_value();
        m_rows.append(row);
    }
    const QList<SmartFolder> &folders = m_store.smartFolders();
    for (qsizetype i = 0; i < folders.size(); ++i)
        m_rows.append(Row{RowType::SmartFolder, folders[i].id, folders[i].name, QStringLiteral("folder.badge.gearshape"),
                          QString::number(m_counts.count(1 + i))});
    for (const Row &row : std::as_const(m_rows))
        if (!m_fillShown.contains(row.id))
            m_fillShown.insert(row.id, targetFill(row));
    if (m_renaming && !findRow(*m_renaming))
        cancelRename();
    relayout();
    notifyAccessibility();
}

void Sidebar::notifyAccessibility()
{
    if (!QAccessible::isActive())
        return;
    // The rows are made again: readers ask for them afresh.
    QAccessibleEvent event(this, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&event);
    QAccessibleEvent reorder(this, QAccessible::ObjectReorder);
    QAccessible::updateAccessibility(&reorder);
}

void Sidebar::recount()
{
    // The Links row, then each smart folder, counted over the store's own
    // list: no copy of a large library.
    QList<SectionMember> members{sectionMembership(m_store, kSectionLinks)};
    for (const SmartFolder &folder : m_store.smartFolders())
        members.append(smartFolderMembership(folder));
    m_counts.recount(m_store.items(), members, QDateTime::currentSecsSinceEpoch());
}

void Sidebar::relayout()
{
    const double w = drawnWidth(m_width);
    const double leading = m_width < kNarrowWidth ? 6.0 : 10.0;
    const double trailing = 6.0;
    const double rowWidth = w - leading - trailing;
    double y = kPlusFrame;
    m_headers.clear();
    auto header = [&](const QString &section, const QString &title, double topPadding) {
        y += kSpacing + topPadding;
        Header h{section, title, QRectF(leading, y + 1, rowWidth, kHeaderRow), y + 0.5, QRectF()};
        h.plus = QRectF(h.rect.right() - 22, h.rect.center().y() - 10, 20, 20);
        m_headers.append(h);
        y += 1 + kHeaderRow;
    };
    RowType previous = RowType::Fixed;
    for (Row &row : m_rows) {
        if (row.type != previous && row.type == RowType::SmartFolder && previous == RowType::Fixed)
            header(QStringLiteral("collections"), tr("COLLECTIONS"), 10.0);
        if (row.type == RowType::Collection && previous == RowType::Fixed)
            header(QStringLiteral("collections"), tr("COLLECTIONS"), 10.0);
        if (row.type == RowType::SmartFolder && previous != RowType::SmartFolder)
            header(QStringLiteral("smartFolders"), tr("SMART FOLDERS"), 21.5);
        y += kSpacing;
        row.rect = QRectF(leading, y, rowWidth, kRowHeight);
        y += kRowHeight;
        previous = row.type;
    }
    if (previous == RowType::Fixed)
        header(QStringLiteral("collections"), tr("COLLECTIONS"), 10.0);
    if (previous != RowType::SmartFolder)
        header(QStringLiteral("smartFolders"), tr("SMART FOLDERS"), 21.5);
    setMinimumHeight(int(std::ceil(y + 12)));
    placeRenameField();
    update();
}

const Sidebar::Row *Sidebar::findRow(const QString &id) const
{
    for (const Row &row : m_rows)
        if (row.id == id)
            return &row;
    return nullptr;
}

const Sidebar::Row *Sidebar::rowAt(const QPointF &pos) const
{
    for (const Row &row : m_rows)
        if (row.rect.contains(pos))
            return &row;
    return nullptr;
}

QRect Sidebar::rowRect(const QString &id) const
{
    const Row *row = findRow(id);
    return row ? row->rect.toRect() : QRect();
}

QString Sidebar::trailingText(const QString &id) const
{
    const Row *row = findRow(id);
    return row ? row->trailing : QString();
}

QString Sidebar::shortcutHint(const QString &id) const
{
    const Row *row = findRow(id);
    return row ? row->hint : QString();
}

bool Sidebar::hintShown(const QString &id) const
{
    const Row *row = findRow(id);
    return row && !row->hint.isEmpty() && m_hovered == id && m_width >= kNarrowWidth;
}

QRect Sidebar::sectionPlusRect(const QString &section) const
{
    for (const Header &h : m_headers)
        if (h.section == section)
            return h.plus.toAlignedRect();
    return QRect();
}

QString Sidebar::sectionPlusLabel(const QString &section)
{
    return section == QLatin1String("smartFolders") ? tr("Add to Smart Folders")
                                                    : tr("Add to Collections");
}

QRect Sidebar::plusButtonRect() const
{
    const double leading = m_width < kNarrowWidth ? 6.0 : 10.0;
    return QRectF(leading, (kPlusFrame - 28) / 2.0, 28, 28).toAlignedRect();
}

// --- Assistive technology ---

QList<Sidebar::AccessibleElement> Sidebar::accessibleElements() const
{
    QList<AccessibleElement> elements;
    elements.append({QStringLiteral("plus"), tr("Add"), plusButtonRect(), false, false});
    auto header = [&](const QString &section) {
        for (const Header &h : m_headers)
            if (h.section == section)
                elements.append({QStringLiteral("section:") + section, sectionPlusLabel(section), h.plus.toAlignedRect(),
                                 false, false});
    };
    bool collectionsDone = false, foldersDone = false;
    for (const Row &row : m_rows) {
        if (row.type != RowType::Fixed && !collectionsDone) {
            header(QStringLiteral("collections"));
            collectionsDone = true;
        }
        if (row.type == RowType::SmartFolder && !foldersDone) {
            header(QStringLiteral("smartFolders"));
            foldersDone = true;
        }
        elements.append({row.id, row.title, row.rect.toAlignedRect(), row.id == m_selection, row.shared});
    }
    if (!collectionsDone)
        header(QStringLiteral("collections"));
    if (!foldersDone)
        header(QStringLiteral("smartFolders"));
    return elements;
}

void Sidebar::pressElement(const QString &key)
{
    if (key == QLatin1String("plus")) {
        setShowingPlus(true);
    } else if (key == QLatin1String("section:collections")) {
        if (newBoard)
            newBoard();
    } else if (key == QLatin1String("section:smartFolders")) {
        if (newSmartFolder)
            newSmartFolder();
    } else if (findRow(key) && key != m_selection) {
        setSelection(key);
        emit selectionChanged(key);
    }
}

// --- States and painting ---

double Sidebar::targetFill(const Row &row) const
{
    // The shown row stays brightest; the pointer only hints.
    if (row.id == m_selection)
        return 0.08;
    if ((m_hovered && *m_hovered == row.id) || (m_dropTarget && *m_dropTarget == row.id))
        return 0.06;
    return 0.0;
}

void Sidebar::animateStates()
{
    m_animation->stop();
    if (m_reduceMotion) {
        for (const Row &row : std::as_const(m_rows))
            m_fillShown[row.id] = targetFill(row);
        update();
        return;
    }
    m_fillFrom = m_fillShown;
    m_animation->start();
}

void Sidebar::setHovered(const std::optional<QString> &id)
{
    if (m_hovered == id)
        return;
    m_hovered = id;
    animateStates();
}

void Sidebar::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing, true);
    p.fillRect(rect(), windowBackground().lighter(118));
    p.setPen(QPen(whiteAt(0.08), 1));
    p.drawLine(QPointF(width() - 0.5, 0), QPointF(width() - 0.5, height()));

    const bool narrow = m_width < kNarrowWidth;
    const QRect plus = plusButtonRect();
    paintSymbol(p, QRectF(plus).adjusted(6.5, 6.5, -6.5, -6.5), QStringLiteral("plus"), whiteAt(0.6), 1.8);

    QFont caption = font();
    caption.setPixelSize(11);
    caption.setWeight(QFont::DemiBold);
    for (const Header &h : std::as_const(m_headers)) {
        p.setPen(QPen(whiteAt(0.1), 1));
        p.drawLine(QPointF(h.rect.left(), h.dividerY), QPointF(h.rect.right(), h.dividerY));
        p.setFont(caption);
        p.setPen(whiteAt(0.45));
        p.drawText(h.rect.adjusted(8, 0, -26, 0), Qt::AlignVCenter | Qt::AlignLeft, h.title);
        paintSymbol(p, h.plus.adjusted(5, 5, -5, -5), QStringLiteral("plus"), whiteAt(0.5), 1.4);
    }

    QFont rowFont = font();
    rowFont.setPixelSize(14);
    QFont small = font();
    small.setPixelSize(12);
    for (const Row &row : std::as_const(m_rows)) {
        const double fill = m_fillShown.value(row.id, targetFill(row));
        if (fill > 0) {
            p.setPen(Qt::NoPen);
            p.setBrush(whiteAt(fill));
            p.drawRoundedRect(row.rect, 8, 8);
        }
        if (row.id == m_selection) {
            p.setBrush(Qt::NoBrush);
            p.setPen(QPen(whiteAt(0.14), 1.0));
            p.drawRoundedRect(row.rect.adjusted(0.5, 0.5, -0.5, -0.5), 7.5, 7.5);
        }
        const QRectF icon(row.rect.left() + 8, row.rect.center().y() - 8, 16, 16);
        paintSymbol(p, icon, row.icon, lightGrey());
        double x = icon.right() + (narrow ? 0.0 : 9.0);

        const QString &trailing = row.trailing;
        p.setFont(small);
        double trailingWidth = trailing.isEmpty() ? 0 : p.fontMetrics().horizontalAdvance(trailing) + 8;
        if (!trailing.isEmpty()) {
            p.setPen(whiteAt(0.42));
            p.drawText(QRectF(row.rect.right() - trailingWidth - 2, row.rect.top(), trailingWidth, row.rect.height()),
                       Qt::AlignVCenter | Qt::AlignRight, trailing);
        }
        // The key hint of a fixed row, under the pointer: a small key cap,
        // before the count when there is one.
        if (hintShown(row.id)) {
            QFont keyFont = font();
            keyFont.setPixelSize(10);
            p.setFont(keyFont);
            const double w = p.fontMetrics().horizontalAdvance(row.hint) + 10;
            const QRectF cap(row.rect.right() - trailingWidth - 6 - w, row.rect.center().y() - 8, w, 16);
            p.setPen(QPen(whiteAt(0.22), 1));
            p.setBrush(whiteAt(0.05));
            p.drawRoundedRect(cap, 4, 4);
            p.setPen(whiteAt(0.55));
            p.drawText(cap, Qt::AlignCenter, row.hint);
            trailingWidth += w + 6;
        }
        if (m_renaming && *m_renaming == row.id)
            continue;
        p.setFont(rowFont);
        const double sharedWidth = row.shared ? 16 : 0;
        const double available = row.rect.right() - 8 - trailingWidth - sharedWidth - x;
        const QString title = p.fontMetrics().elidedText(row.title, Qt::ElideRight, int(qMax(0.0, available)));
        p.setPen(lightGrey());
        p.drawText(QRectF(x, row.rect.top(), qMax(0.0, available), row.rect.height()),
                   Qt::AlignVCenter | Qt::AlignLeft, title);
        if (row.shared) {
            const double tx = x + p.fontMetrics().horizontalAdvance(title) + 5;
            paintSymbol(p, QRectF(tx, row.rect.center().y() - 5, 10, 10), QStringLiteral("person.2.fill"), whiteAt(0.6));
        }
    }
}

void Sidebar::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    placeRenameField();
}

// --- Rename ---

void Sidebar::placeRenameField()
{
    const Row *row = m_renaming ? findRow(*m_renaming) : nullptr;
    if (!row) {
        m_field->hide();
        return;
    }
    const bool narrow = m_width < kNarrowWidth;
    const double x = row->rect.left() + 8 + 16 + (narrow ? 0.0 : 9.0);
    m_field->setGeometry(int(x), int(row->rect.center().y() - 11), int(row->rect.right() - 6 - x), 22);
    m_field->show();
}

void Sidebar::runStartRename(const QString &id)
{
    if (startRename) {
        startRename(id);
        return;
    }
    const std::optional<Board> board = m_store.collection(id);
    if (!board)
        return;
    setDraft(board->name);
    emit draftChanged(m_draft);
    setRenaming(id);
    emit renamingChanged(m_renaming);
    m_field->selectAll();
    m_field->setFocus(Qt::OtherFocusReason);
}

void Sidebar::runCommitRename()
{
    if (commitRename) {
        commitRename();
        return;
    }
    if (!m_renaming)
        return;
    const QString name = m_draft.trimmed();
    const QString id = *m_renaming;
    cancelRename();
    if (!name.isEmpty())
        m_store.renameCollection(id, name);
}

void Sidebar::cancelRename()
{
    if (!m_renaming)
        return;
    // The owner hears of it before the field goes: hiding the field takes
    // its focus, and a focus loss during a rename commits the rename.
    m_renaming.reset();
    emit renamingChanged(std::nullopt);
    placeRenameField();
    update();
}

bool Sidebar::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_field) {
        if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent *>(event)->key() == Qt::Key_Escape) {
            cancelRename();
            return true;
        }
        if (event->type() == QEvent::FocusIn)
            emit focusedChanged(true);
        else if (event->type() == QEvent::FocusOut)
            emit focusedChanged(false);
    }
    return QWidget::eventFilter(watched, event);
}

// --- Menus and deletion ---

QMenu *Sidebar::buildContextMenu(const QString &id)
{
    const Row *row = findRow(id);
    if (!row || row->type == RowType::Fixed)
        return nullptr;
    auto *menu = new QMenu(this);
    if (row->type == RowType::Collection) {
        menu->addAction(tr("Rename"), this, [this, id] { runStartRename(id); })->setObjectName(QStringLiteral("rename"));
        // The default collection backs the Inbox and cannot be deleted.
        QAction *remove = menu->addAction(tr("Delete"), this, [this, id] { deleteRow(id); });
        remove->setObjectName(QStringLiteral("delete"));
        remove->setEnabled(id != m_store.defaultBoardId());
    } else {
        menu->addAction(tr("Delete"), this, [this, id] { deleteRow(id); })->setObjectName(QStringLiteral("delete"));
    }
    return menu;
}

void Sidebar::deleteRow(const QString &id)
{
    const Row *row = findRow(id);
    if (!row || row->type == RowType::Fixed)
        return;
    const bool collection = row->type == RowType::Collection;
    QPointer<Sidebar> self(this);
    auto remove = [self, id, collection] {
        if (!self)
            return;
        if (self->m_selection == id) {
            self->setSelection(kSectionInbox);
            emit self->selectionChanged(self->m_selection);
        }
        if (collection)
            self->m_store.deleteCollection(id);
        else
            self->m_store.deleteSmartFolder(id);
    };
    if (collection && deleteCollection)
        deleteCollection(id, remove);
    else
        remove();
}

void Sidebar::contextMenuEvent(QContextMenuEvent *event)
{
    const Row *row = rowAt(event->pos());
    if (!row)
        return;
    QMenu *menu = buildContextMenu(row->id);
    if (!menu)
        return;
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
}

// --- Pointer ---

bool Sidebar::event(QEvent *event)
{
    if (event->type() == QEvent::ToolTip) {
        auto *help = static_cast<QHelpEvent *>(event);
        if (plusButtonRect().contains(help->pos())) {
            QToolTip::showText(help->globalPos(), tr("Add"), this, plusButtonRect());
            return true;
        }
        for (const Header &h : std::as_const(m_headers))
            if (h.plus.contains(help->pos())) {
                // "Add to Collections", "Add to Smart Folders".
                QToolTip::showText(help->globalPos(), sectionPlusLabel(h.section), this, h.plus.toAlignedRect());
                return true;
            }
        if (const Row *row = rowAt(help->pos()))
            QToolTip::showText(help->globalPos(), plainToolTip(row->title), this, row->rect.toAlignedRect());
        else
            QToolTip::hideText();
        return true;
    }
    return QWidget::event(event);
}

void Sidebar::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return QWidget::mousePressEvent(event);
    const QPointF pos = event->position();
    if (pos.x() >= width() - kHandleWidth) {
        m_resizing = true;
        return;
    }
    if (plusButtonRect().contains(pos.toPoint())) {
        setShowingPlus(true);
        return;
    }
    for (const Header &h : std::as_const(m_headers)) {
        if (h.plus.contains(pos)) {
            if (h.section == QLatin1String("collections") && newBoard)
                newBoard();
            else if (h.section == QLatin1String("smartFolders") && newSmartFolder)
                newSmartFolder();
            return;
        }
    }
    if (const Row *row = rowAt(pos)) {
        if (row->id != m_selection) {
            setSelection(row->id);
            emit selectionChanged(row->id);
        }
        if (row->type == RowType::Collection && row->id != m_store.defaultBoardId()) {
            m_pressedCollection = row->id;
            m_pressPos = pos;
        }
    }
}

void Sidebar::mouseMoveEvent(QMouseEvent *event)
{
    const QPointF pos = event->position();
    if (m_resizing) {
        const double width = clampedDragWidth(pos.x());
        if (width != m_width) {
            setSidebarWidth(width);
            emit sidebarWidthChanged(width);
        }
        return;
    }
    const bool overHandle = pos.x() >= width() - kHandleWidth;
    if (overHandle != m_overHandle) {
        m_overHandle = overHandle;
        if (overHandle)
            setCursor(Qt::SizeHorCursor);
        else
            unsetCursor();
    }
    const Row *row = rowAt(pos);
    setHovered(row ? std::optional<QString>(row->id) : std::nullopt);

    if (m_pressedCollection && (event->buttons() & Qt::LeftButton)
        && (pos - m_pressPos).manhattanLength() >= QApplication::startDragDistance()) {
        const QString id = *m_pressedCollection;
        m_pressedCollection.reset();
        auto *mime = new QMimeData;
        mime->setData(kCollectionMime, id.toUtf8());
        auto *drag = new QDrag(this);
        drag->setMimeData(mime);
        drag->exec(Qt::MoveAction);
    }
}

void Sidebar::mouseReleaseEvent(QMouseEvent *)
{
    m_resizing = false;
    m_pressedCollection.reset();
}

void Sidebar::mouseDoubleClickEvent(QMouseEvent *event)
{
    const Row *row = rowAt(event->position());
    if (!row || row->type != RowType::SmartFolder || !editSmartFolder)
        return;
    for (const SmartFolder &folder : m_store.smartFolders())
        if (folder.id == row->id) {
            editSmartFolder(folder);
            return;
        }
}

void Sidebar::leaveEvent(QEvent *)
{
    if (m_overHandle) {
        m_overHandle = false;
        unsetCursor();
    }
    setHovered(std::nullopt);
}

// --- Reorder and drops ---

int Sidebar::insertionIndex(const QPointF &pos) const
{
    int index = 0;
    for (const Row &row : m_rows) {
        if (row.type != RowType::Collection)
            continue;
        if (pos.y() < row.rect.center().y())
            return index;
        ++index;
    }
    return index;
}

QString Sidebar::dropCollectionFor(const Row *row) const
{
    if (!row)
        return QString();
    if (row->type == RowType::Collection)
        return row->id;
    if (row->type == RowType::Fixed && row->id == kSectionInbox)
        return m_store.defaultBoardId();
    return QString();
}

void Sidebar::dragEnterEvent(QDragEnterEvent *event)
{
    if (event->mimeData()->hasFormat(kCollectionMime) || event->mimeData()->hasUrls()
        || !draggedItemIds(*event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void Sidebar::dragMoveEvent(QDragMoveEvent *event)
{
    const QMimeData *mime = event->mimeData();
    const Row *row = rowAt(event->position());
    std::optional<QString> target;
    bool accept = false;
    if (mime->hasFormat(kCollectionMime)) {
        accept = row && row->type == RowType::Collection;
    } else if (mime->hasUrls() || !draggedItemIds(*mime).isEmpty()) {
        const QString board = dropCollectionFor(row);
        accept = !board.isEmpty();
        if (accept)
            target = row->id;
    }
    if (m_dropTarget != target) {
        m_dropTarget = target;
        animateStates();
    }
    if (accept)
        event->acceptProposedAction();
    else
        event->ignore();
}

void Sidebar::dragLeaveEvent(QDragLeaveEvent *)
{
    m_dropTarget.reset();
    animateStates();
}

void Sidebar::dropEvent(QDropEvent *event)
{
    m_dropTarget.reset();
    animateStates();
    const QMimeData *mime = event->mimeData();
    const Row *row = rowAt(event->position());
    if (mime->hasFormat(kCollectionMime)) {
        if (!row || row->type != RowType::Collection)
            return event->ignore();
        const QString id = QString::fromUtf8(mime->data(kCollectionMime));
        m_store.moveCollection(id, insertionIndex(event->position()));
        event->acceptProposedAction();
        return;
    }
    const QString board = dropCollectionFor(row);
    if (board.isEmpty())
        return event->ignore();
    // Tiles of the library join the collection as the items they are.
    if (const QStringList ids = draggedItemIds(*mime); !ids.isEmpty()) {
        addToCollection(m_store, ids, board);
        event->acceptProposedAction();
        return;
    }
    if (!mime->hasUrls())
        return event->ignore();
    const QList<QUrl> urls = mime->urls();
    if (dropURLs)
        dropURLs(urls, board);
    else
        defaultDrop(urls, board);
    event->acceptProposedAction();
}

void Sidebar::defaultDrop(const QList<QUrl> &urls, const QString &collectionId)
{
    importURLs(urls, m_store, collectionId);
}

} // namespace vellora
