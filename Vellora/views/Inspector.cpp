#include "Inspector.h"

#include "Background.h"
#include "Glass.h"
#include "PlainText.h"
#include "TagEdits.h"
#include "WindowBackground.h"
#include "enrichment/LanguageFeatures.h"
#include "library/LibraryStore.h"
#include "library/Media.h"
#include "library/Rule.h"
#include "platform/Clock.h"
#include "platform/ImageIO.h"
#include "platform/LanguageModel.h"

#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScrollBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

namespace vellora {

namespace {
constexpr int kPillHeight = 22;
constexpr int kPillGap = 6;
constexpr int kSwatch = 22;

QColor whiteAt(double a) { return QColor(255, 255, 255, int(a * 255)); }

QString dateText(double referenceSeconds)
{
    return QLocale().toString(dateFromReferenceSeconds(referenceSeconds).toLocalTime().date(), QStringLiteral("d MMM yyyy"));
}

QString timeText(double referenceSeconds)
{
    return QLocale().toString(dateFromReferenceSeconds(referenceSeconds).toLocalTime(), QStringLiteral("d MMM yyyy, HH:mm"));
}

const char *const kStyle = R"(
QWidget#inspectorContent { background: transparent; }
QLabel { color: rgb(214,214,214); font-size: 12px; }
QLabel[dim="true"] { color: rgba(255,255,255,120); }
QLabel[heading="true"] { color: rgba(255,255,255,130); font-size: 11px; font-weight: 600; letter-spacing: 1px; }
QLineEdit { background: rgba(255,255,255,16); color: rgb(214,214,214); border: 1px solid rgba(255,255,255,30);
            border-radius: 7px; padding: 3px 8px; font-size: 12px; }
QCheckBox { color: rgb(214,214,214); font-size: 12px; spacing: 8px; }
QCheckBox::indicator { width: 13px; height: 13px; border-radius: 4px; border: 1px solid rgba(255,255,255,90);
                       background: rgba(255,255,255,14); }
QCheckBox::indicator:checked { background: rgb(10,132,255); border-color: rgb(10,132,255); }
QCheckBox::indicator:indeterminate { background: rgba(10,132,255,110); border-color: rgb(10,132,255); }
QPushButton { color: rgb(214,214,214); background: rgba(255,255,255,20); border: 1px solid rgba(255,255,255,36);
              border-radius: 12px; padding: 4px 12px; font-size: 12px; }
QPushButton:disabled { color: rgba(255,255,255,90); }
QWidget#insightCard { background: rgba(255,255,255,14); border: 1px solid rgba(255,255,255,30); border-radius: 12px; }
)";
} // namespace

// --- PillCloud ---

PillCloud::PillCloud(const QStringList &texts, bool removable, QWidget *parent)
    : QWidget(parent), m_texts(texts), m_removable(removable)
{
    QFont f = font();
    f.setPixelSize(12);
    setFont(f);
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
    setCursor(Qt::PointingHandCursor);
    m_rects = layoutFor(Inspector::kWidth - 32);
}

QList<QRect> PillCloud::layoutFor(int width) const
{
    QList<QRect> rects;
    int x = 0, y = 0;
    for (const QString &text : m_texts) {
        const int w = qMin(width, fontMetrics().horizontalAdvance(text) + 24 + (m_removable ? 14 : 0));
        if (x > 0 && x + w > width) {
            x = 0;
            y += kPillHeight + kPillGap;
        }
        rects << QRect(x, y, w, kPillHeight);
        x += w + kPillGap;
    }
    return rects;
}

int PillCloud::heightForWidth(int width) const
{
    const QList<QRect> rects = layoutFor(width);
    return rects.isEmpty() ? 0 : rects.last().bottom() + 1;
}

QSize PillCloud::sizeHint() const { return QSize(Inspector::kWidth - 32, heightForWidth(Inspector::kWidth - 32)); }

void PillCloud::resizeEvent(QResizeEvent *)
{
    m_rects = layoutFor(width());
    updateGeometry();
}

QRect PillCloud::pillRect(int index) const { return m_rects.value(index); }

QRect PillCloud::removeRect(int index) const
{
    const QRect pill = pillRect(index);
    return m_removable ? QRect(pill.right() - 18, pill.top(), 18, pill.height()) : QRect();
}

void PillCloud::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing, true);
    for (int i = 0; i < m_texts.size() && i < m_rects.size(); ++i) {
        const QRectF r = QRectF(m_rects.at(i)).adjusted(0.5, 0.5, -0.5, -0.5);
        p.setPen(QPen(whiteAt(0.14), 1));
        p.setBrush(whiteAt(0.08));
        p.drawRoundedRect(r, r.height() / 2, r.height() / 2);
        p.setPen(lightGrey());
        const QRectF textRect = QRectF(m_rects.at(i)).adjusted(10, 0, m_removable ? -22 : -8, 0);
        p.drawText(textRect, Qt::AlignVCenter | Qt::AlignLeft,
                   p.fontMetrics().elidedText(m_texts.at(i), Qt::ElideRight, int(textRect.width())));
        if (m_removable) {
            const QRectF x = QRectF(removeRect(i)).adjusted(5, 7, -6, -7);
            p.setPen(QPen(whiteAt(0.55), 1.3, Qt::SolidLine, Qt::RoundCap));
            p.drawLine(x.topLeft(), x.bottomRight());
            p.drawLine(x.topRight(), x.bottomLeft());
        }
    }
}

void PillCloud::mouseReleaseEvent(QMouseEvent *event)
{
    const QPoint pos = event->position().toPoint();
    for (int i = 0; i < m_rects.size(); ++i) {
        if (m_removable && removeRect(i).contains(pos)) {
            emit removeClicked(i);
            return;
        }
        if (m_rects.at(i).contains(pos)) {
            emit pillClicked(i);
            return;
        }
    }
}

// --- SwatchRow ---

SwatchRow::SwatchRow(const QStringList &colours, QWidget *parent) : QWidget(parent), m_colours(colours)
{
    setCursor(Qt::PointingHandCursor);
    setFixedHeight(kSwatch + 2);
}

QRect SwatchRow::swatchRect(int index) const { return QRect(1 + index * (kSwatch + 8), 1, kSwatch, kSwatch); }

QSize SwatchRow::sizeHint() const { return QSize(int(m_colours.size()) * (kSwatch + 8), kSwatch + 2); }

void SwatchRow::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing, true);
    for (int i = 0; i < m_colours.size(); ++i) {
        QString hex = m_colours.at(i);
        if (!hex.startsWith(QLatin1Char('#')))
            hex.prepend(QLatin1Char('#'));
        const QColor colour = QColor::fromString(hex);
        p.setPen(QPen(whiteAt(0.25), 1));
        p.setBrush(colour.isValid() ? colour : QColor(Qt::black));
        p.drawEllipse(QRectF(swatchRect(i)).adjusted(0.5, 0.5, -0.5, -0.5));
    }
}

void SwatchRow::mouseReleaseEvent(QMouseEvent *event)
{
    for (int i = 0; i < m_colours.size(); ++i)
        if (swatchRect(i).contains(event->position().toPoint())) {
            emit swatchClicked(m_colours.at(i));
            return;
        }
}

// --- PictureView ---

PictureView::PictureView(const QString &path, const QSize &box, QWidget *parent) : QWidget(parent), m_box(box)
{
    setFixedSize(box);
    if (path.isEmpty())
        return;
    const double bound = 2.0 * std::max(box.width(), box.height()); // sharp on a doubled screen
    views::inBackground<QImage>(
        this, [path, bound] { return downsampledImage(path, bound); },
        [this](QImage image) {
            if (image.isNull())
                return;
            m_image = std::move(image);
            update();
            emit loaded();
        });
}

void PictureView::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setRenderHint(QPainter::SmoothPixmapTransform, true);
    if (m_image.isNull()) {
        p.setPen(Qt::NoPen);
        p.setBrush(whiteAt(0.05));
        p.drawRoundedRect(QRectF(rect()), 10, 10);
        return;
    }
    const QSize fitted = m_image.size().scaled(size(), Qt::KeepAspectRatio);
    const QRectF target(QPointF((width() - fitted.width()) / 2.0, (height() - fitted.height()) / 2.0), fitted);
    QPainterPath clip;
    const double radius = qMin(10.0, target.height() / 4.0);
    clip.addRoundedRect(target, radius, radius);
    p.setClipPath(clip);
    p.drawImage(target, m_image);
}

// --- Inspector ---

Inspector::Inspector(LibraryStore &store, QWidget *parent) : QScrollArea(parent), m_store(store)
{
    setFixedWidth(kWidth);
    setWidgetResizable(true);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, windowBackground());
    pal.setColor(QPalette::Base, windowBackground());
    setPalette(pal);
    setAutoFillBackground(true);
    viewport()->setPalette(pal);
    viewport()->setAutoFillBackground(true);
    setStyleSheet(QString::fromLatin1(kStyle));
    darkenScrollBar(verticalScrollBar());
    // An edit of records it does not describe leaves it as it is: the count
    // of the section reaches it from the window.
    connect(&m_store, &LibraryStore::itemsEdited, this, [this](const ItemChanges &changes) {
        m_editSeen = true;
        for (const QString &id : changes.ids())
            m_pickedEdited = m_pickedEdited || m_picked.contains(id);
    });
    connect(&m_store, &LibraryStore::itemsChanged, this, [this] {
        const bool rebuildNow = !m_editSeen || m_pickedEdited;
        m_editSeen = m_pickedEdited = false;
        if (rebuildNow)
            rebuild();
    });
    connect(&m_store, &LibraryStore::collectionsChanged, this, &Inspector::rebuild);
    connect(static_cast<LanguageModelRests *>(&LanguageModel::restSignals()), &LanguageModelRests::changed, this,
            &Inspector::showModelRest);
    rebuild();
}

void Inspector::setTitle(const QString &title)
{
    if (title == m_title)
        return;
    m_title = title;
    rebuild();
}

void Inspector::setCreated(std::optional<double> created)
{
    if (created == m_created)
        return;
    m_created = created;
    rebuild();
}

void Inspector::setShown(const QList<Item> &items)
{
    m_shown = items;
    m_shownCount = int(items.size());
    rebuild();
}

void Inspector::setShownCount(int count)
{
    if (count == m_shownCount)
        return;
    m_shownCount = count;
    // Only the count line says it: every keystroke of a search changes the
    // count, and the rest of the panel stays as it was built.
    if (m_sectionCount) {
        m_sectionCount->setText(sectionCountText());
        return;
    }
    rebuild();
}

QString Inspector::sectionCountText() const
{
    return m_shownCount == 1 ? tr("1 item") : tr("%1 items").arg(m_shownCount);
}

void Inspector::setSmart(const std::optional<SmartFolder> &folder)
{
    if (folder == m_smart)
        return;
    m_smart = folder;
    rebuild();
}

void Inspector::setPicked(const QStringList &ids)
{
    if (m_picked == ids)
        return;
    m_picked = ids;
    rebuild();
}

QList<Item> Inspector::pickedItems() const
{
    QList<Item> items;
    for (const QString &id : m_picked)
        if (std::optional<Item> item = m_store.item(id))
            items << *item;
    return items;
}

QCheckBox *Inspector::collectionBox(const QString &id) const
{
    for (QCheckBox *box : m_collectionBoxes)
        if (box->property("collectionId").toString() == id)
            return box;
    return nullptr;
}

QLabel *Inspector::heading(const QString &text)
{
    auto *label = plainLabel(text.toUpper());
    label->setProperty("heading", true);
    return label;
}

// Every line may hold words from outside: a page's title, the model's
// insight, recognised text, a shared collection's name.
QLabel *Inspector::line(const QString &text, int size, bool dim)
{
    auto *label = plainLabel(text);
    label->setWordWrap(true);
    if (dim)
        label->setProperty("dim", true);
    if (size != 12) {
        QFont f = label->font();
        f.setPixelSize(size);
        label->setFont(f);
        label->setStyleSheet(QStringLiteral("font-size: %1px;").arg(size));
    }
    return label;
}

void Inspector::rebuild()
{
    // What the user is typing survives the rebuild that its own edit causes.
    QString typing;
    bool typingFocused = false;
    if (m_tagField) {
        typing = m_tagField->text();
        typingFocused = m_tagField->hasFocus();
    }
    m_sectionTitle = m_sectionCount = nullptr;
    m_picture = nullptr;
    m_swatches = nullptr;
    m_labels = m_tags = m_suggestions = nullptr;
    m_tagField = nullptr;
    m_suggestButton = nullptr;
    m_suggestNote = nullptr;
    m_text = nullptr;
    m_collectionBoxes.clear();
    m_insight = nullptr;
    m_findSimilar = nullptr;
    m_address = nullptr;

    auto *content = new QWidget;
    content->setObjectName(QStringLiteral("inspectorContent"));
    auto *column = new QVBoxLayout(content);
    column->setContentsMargins(16, 18, 16, 18);
    column->setSpacing(8);
    buildSection(column);
    const QList<Item> items = pickedItems();
    if (items.size() == 1)
        buildOne(column, items.first());
    else if (items.size() > 1)
        buildMany(column, items);
    column->addStretch(1);
    // The old content may be the sender of the edit that led here: it goes later.
    if (QWidget *old = takeWidget())
        old->deleteLater();
    setWidget(content);

    if (m_tagField) {
        m_tagField->setText(typing);
        if (typingFocused)
            m_tagField->setFocus(Qt::OtherFocusReason);
    }
}

void Inspector::buildSection(QVBoxLayout *column)
{
    m_sectionTitle = line(m_title, 20);
    QFont bold = m_sectionTitle->font();
    bold.setBold(true);
    m_sectionTitle->setFont(bold);
    m_sectionTitle->setStyleSheet(QStringLiteral("font-size: 20px; font-weight: bold;"));
    column->addWidget(m_sectionTitle);
    m_sectionCount = line(sectionCountText(), 12, true);
    column->addWidget(m_sectionCount);
    if (m_created)
        column->addWidget(line(tr("Created %1").arg(dateText(*m_created)), 12, true));
    if (m_smart)
        column->addWidget(line(m_smart->summary(), 12, true));
}

void Inspector::buildOne(QVBoxLayout *column, const Item &item)
{
    const QString root = m_store.root();
    const bool isLink = item.kind == QLatin1String("link");
    column->addSpacing(10);
    m_picture = new PictureView(thumbnailPath(root, item.thumbnailFilename), QSize(kWidth - 32, 180));
    column->addWidget(m_picture);
    const QString name = item.title.value_or(QString()).isEmpty() ? item.originalFilename : *item.title;
    QLabel *nameLabel = line(name, 14);
    nameLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    column->addWidget(nameLabel);

    if (isLink) {
        auto *site = new QWidget;
        auto *siteRow = new QHBoxLayout(site);
        siteRow->setContentsMargins(0, 0, 0, 0);
        siteRow->setSpacing(6);
        if (item.faviconFilename)
            siteRow->addWidget(new PictureView(faviconPath(root, *item.faviconFilename), QSize(16, 16)));
        const QString siteName = item.siteName.value_or(QString()).isEmpty() ? item.host() : *item.siteName;
        siteRow->addWidget(line(siteName, 12, true), 1);
        column->addWidget(site);
        m_address = line(item.sourceURL.value_or(QString()), 11, true);
        m_address->setTextInteractionFlags(Qt::TextSelectableByMouse);
        m_address->setWordWrap(true);
        column->addWidget(m_address);

        if (item.insight) {
            const LinkInsight &insight = *item.insight;
            m_insight = new QWidget;
            m_insight->setObjectName(QStringLiteral("insightCard"));
            m_insight->setAttribute(Qt::WA_StyledBackground, true);
            auto *card = new QVBoxLayout(m_insight);
            card->setContentsMargins(12, 10, 12, 12);
            card->setSpacing(6);
            auto *top = new QHBoxLayout;
            top->addWidget(heading(tr("Insight")));
            top->addStretch(1);
            if (!insight.category.isEmpty())
                top->addWidget(line(insight.category, 11, true));
            card->addLayout(top);
            if (!insight.summary.isEmpty()) {
                QLabel *summary = line(insight.summary, 12);
                summary->setTextInteractionFlags(Qt::TextSelectableByMouse);
                card->addWidget(summary);
            }
            for (const QString &point : insight.keyPoints)
                card->addWidget(line(QStringLiteral("•  ") + point, 12));
            const LinkEntities &e = insight.entities;
            const QList<std::pair<QString, std::optional<QString>>> entities = {
                {tr("Product"), e.productName},
                {tr("Price"), e.price},
                {tr("Author"), e.author},
                {tr("Published"), e.publishDate}};
            for (const auto &[label, value] : entities)
                if (value && !value->isEmpty())
                    card->addWidget(line(label + QStringLiteral(": ") + *value, 11, true));
            column->addSpacing(4);
            column->addWidget(m_insight);
        }
    }

    if (item.palette && !item.palette->isEmpty()) {
        column->addSpacing(6);
        column->addWidget(heading(tr("Colours")));
        m_swatches = new SwatchRow(*item.palette);
        connect(m_swatches, &SwatchRow::swatchClicked, this,
                [this](const QString &colour) { emit colourPicked(colourHueDegrees(colour)); });
        column->addWidget(m_swatches);
    }
    if (item.labels && !item.labels->isEmpty()) {
        column->addSpacing(6);
        column->addWidget(heading(tr("Labels")));
        m_labels = new PillCloud(*item.labels, false);
        m_labels->setCursor(Qt::ArrowCursor);
        column->addWidget(m_labels);
    }
    // A link's text is the page's own; the text recognised in its snapshot
    // is a worse copy of it.
    const QString text = isLink ? item.pageText.value_or(QString()) : item.ocrText.value_or(QString());
    if (!text.trimmed().isEmpty()) {
        column->addSpacing(6);
        column->addWidget(heading(tr("Text")));
        m_text = line(text, 12);
        m_text->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        column->addWidget(m_text);
    }

    buildTags(column, item.tags.value_or(QStringList()), !isLink);
    buildCollections(column, {item});

    column->addSpacing(6);
    column->addWidget(heading(tr("Dates")));
    column->addWidget(line(tr("Added %1").arg(dateText(item.dateAdded)), 12, true));
    if (item.dateCreated > 0 && item.dateCreated != item.dateAdded)
        column->addWidget(line(tr("Created %1").arg(dateText(item.dateCreated)), 12, true));
    if (item.lastOpenedAt)
        column->addWidget(line(tr("Last opened %1").arg(timeText(*item.lastOpenedAt)), 12, true));
    const qint64 opened = item.openCount.value_or(0);
    column->addWidget(line(opened == 1 ? tr("Opened once") : tr("Opened %1 times").arg(opened), 12, true));

    column->addSpacing(8);
    m_findSimilar = new QPushButton(tr("Find Similar"));
    const QString id = item.id;
    connect(m_findSimilar, &QPushButton::clicked, this, [this, id] {
        if (findSimilar)
            findSimilar(id);
    });
    column->addWidget(m_findSimilar, 0, Qt::AlignLeft);
}

void Inspector::buildMany(QVBoxLayout *column, const QList<Item> &items)
{
    column->addSpacing(10);
    column->addWidget(line(tr("%1 items picked").arg(items.size()), 14));
    buildTags(column, sharedTags(items), false);
    buildCollections(column, items);
}

void Inspector::buildTags(QVBoxLayout *column, const QStringList &tags, bool suggestions)
{
    column->addSpacing(6);
    column->addWidget(heading(m_picked.size() > 1 ? tr("Shared tags") : tr("Tags")));
    m_tags = new PillCloud(tags, true);
    connect(m_tags, &PillCloud::removeClicked, this, [this, tags](int i) { removeTag(tags.value(i)); });
    column->addWidget(m_tags);
    m_tagField = new QLineEdit;
    m_tagField->setPlaceholderText(tr("Add tags, separated by commas"));
    connect(m_tagField, &QLineEdit::returnPressed, this, [this] {
        const QString entry = m_tagField->text();
        m_tagField->clear();
        addTags(entry);
    });
    column->addWidget(m_tagField);
    if (!suggestions)
        return;
    const QString id = m_picked.value(0);
    QStringList open;
    if (m_suggestedFor == id)
        for (const QString &tag : std::as_const(m_suggested))
            if (!tags.contains(tag, Qt::CaseInsensitive))
                open << tag;
    if (!open.isEmpty()) {
        m_suggestions = new PillCloud(open, false);
        connect(m_suggestions, &PillCloud::pillClicked, this, [this, open](int i) { addTags(open.value(i)); });
        column->addWidget(m_suggestions);
    }
    m_suggestButton = new QPushButton(m_suggesting ? tr("Suggesting…") : tr("Suggest Tags"));
    connect(m_suggestButton, &QPushButton::clicked, this, &Inspector::suggest);
    column->addWidget(m_suggestButton, 0, Qt::AlignLeft);
    m_suggestNote = line(QString(), 11, true);
    column->addWidget(m_suggestNote);
    showModelRest();
}

// While the model rests after a failure nothing is asked of it, and the
// labels are no answer of its own: the button waits, saying why.
void Inspector::showModelRest()
{
    if (!m_suggestButton)
        return;
    const QString rest = languageModelRestNote();
    m_suggestButton->setEnabled(!m_suggesting && rest.isEmpty());
    m_suggestButton->setToolTip(rest);
    m_suggestNote->setText(rest);
    m_suggestNote->setVisible(!rest.isEmpty());
}

void Inspector::buildCollections(QVBoxLayout *column, const QList<Item> &items)
{
    if (m_store.collections().isEmpty())
        return;
    column->addSpacing(6);
    column->addWidget(heading(tr("Collections")));
    const QStringList all = sharedCollections(items);
    const QStringList some = anyCollections(items);
    for (const Board &board : m_store.collections()) {
        auto *box = new QCheckBox(actionText(board.name));
        box->setProperty("collectionId", board.id);
        if (all.contains(board.id))
            box->setCheckState(Qt::Checked);
        else if (some.contains(board.id))
            box->setCheckState(Qt::PartiallyChecked);
        // A click decides for every picked item: in unless all were in already.
        const QString id = board.id;
        const bool wasAll = all.contains(board.id);
        connect(box, &QCheckBox::clicked, this, [this, id, wasAll] { setInCollection(id, !wasAll); });
        m_collectionBoxes << box;
        column->addWidget(box);
    }
}

void Inspector::addTags(const QString &entry)
{
    const QStringList added = parseTagEntry(entry);
    if (added.isEmpty())
        return;
    bool changed = false;
    for (const QString &id : QStringList(m_picked))
        changed |= m_store.updateItem(id, [&](Item &item) {
            item.tags = withTagsAdded(item.tags.value_or(QStringList()), added);
        });
    if (changed)
        m_store.scheduleSave();
}

void Inspector::removeTag(const QString &tag)
{
    if (tag.isEmpty())
        return;
    bool changed = false;
    for (const QString &id : QStringList(m_picked))
        changed |= m_store.updateItem(id, [&](Item &item) {
            item.tags = withTagsRemoved(item.tags.value_or(QStringList()), {tag});
        });
    if (changed)
        m_store.scheduleSave();
}

void Inspector::setInCollection(const QString &collectionId, bool in)
{
    for (const Item &item : pickedItems()) {
        QStringList ids = item.collectionIds;
        if (in && !ids.contains(collectionId))
            ids << collectionId;
        else if (!in)
            ids.removeAll(collectionId);
        if (ids != item.collectionIds)
            m_store.setCollections(ids, item.id);
    }
}

void Inspector::suggest()
{
    const QList<Item> items = pickedItems();
    if (items.size() != 1 || m_suggesting || !languageModelRestNote().isEmpty())
        return;
    const Item item = items.first();
    m_suggesting = true;
    rebuild();
    QPointer<Inspector> self(this);
    // A model that did not answer suggests nothing; the rest it starts is
    // shown under the button.
    suggestTagsIfAnswered(
        item.originalFilename, item.labels.value_or(QStringList()), item.ocrText.value_or(QString()),
        [self, id = item.id](std::optional<QStringList> tags) {
            if (!self)
                return;
            self->m_suggesting = false;
            self->m_suggestedFor = id;
            self->m_suggested = tags.value_or(QStringList());
            self->rebuild();
        },
        this);
}

} // namespace vellora
