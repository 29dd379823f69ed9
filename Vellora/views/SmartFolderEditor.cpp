#include "SmartFolderEditor.h"

#include "Glass.h"
#include "PlainText.h"
#include "WindowBackground.h"
#include "enrichment/LanguageFeatures.h"
#include "library/LibraryStore.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPointer>
#include <QVBoxLayout>

namespace vellora {

namespace {
const char *const kDescribePlaceholder = "Describe it… e.g. links about furniture I opened more than twice";
} // namespace

namespace {
constexpr int kColumnWidth = 560;

const char *const kStyle = R"(
QLineEdit { background: rgba(255,255,255,18); color: rgb(214,214,214); border: 1px solid rgba(255,255,255,30);
            border-radius: 7px; padding: 4px 8px; font-size: 13px; }
QLineEdit#name { background: transparent; border: none; padding: 0; font-size: 20px; }
QComboBox { background: rgba(255,255,255,18); color: rgb(214,214,214); border: 1px solid rgba(255,255,255,30);
            border-radius: 7px; padding: 3px 8px; font-size: 13px; }
QComboBox QAbstractItemView { background: rgb(44,44,44); color: rgb(214,214,214); selection-background-color: rgb(70,70,70); }
QPushButton#segment { background: transparent; color: rgb(214,214,214); border: none; border-radius: 6px;
                      padding: 4px; font-size: 13px; }
QPushButton#segment:checked { background: rgba(255,255,255,40); }
QLabel { color: rgb(214,214,214); }
QLabel#caption { color: rgba(255,255,255,130); font-size: 11px; font-weight: 500; letter-spacing: 1px; }
QLabel#problem { color: rgb(255,140,120); font-size: 12px; }
QLabel#count { color: rgba(255,255,255,130); font-size: 11px; font-weight: 500; letter-spacing: 1px; }
)";

QColor whiteAt(double a) { return QColor(255, 255, 255, int(a * 255)); }
} // namespace

SmartFolderEditor::SmartFolderEditor(LibraryStore &store, const SmartFolder &folder, QWidget *parent)
    : QDialog(parent), m_store(store), m_folder(folder)
{
    setWindowTitle(tr("Smart Folder"));
    if (parent)
        setWindowModality(Qt::WindowModal);
    setStyleSheet(QString::fromLatin1(kStyle));
    QPalette pal = palette();
    pal.setColor(QPalette::Window, windowBackground().lighter(125));
    pal.setColor(QPalette::ButtonText, lightGrey());
    pal.setColor(QPalette::WindowText, lightGrey());
    setPalette(pal);
    setFixedWidth(kColumnWidth + 48);

    for (const Rule &rule : folder.rules)
        m_rows << RuleRow::fromRule(rule);

    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(24, 22, 24, 20);
    column->setSpacing(14);
    column->setSizeConstraint(QLayout::SetFixedSize);

    auto *caption = new QLabel(tr("SMART FOLDER"), this);
    caption->setObjectName(QStringLiteral("caption"));
    m_name = new QLineEdit(folder.name, this);
    m_name->setObjectName(QStringLiteral("name"));
    m_name->setPlaceholderText(tr("Name"));
    m_name->setFixedWidth(kColumnWidth);
    auto *header = new QVBoxLayout;
    header->setSpacing(4);
    header->addWidget(caption);
    header->addWidget(m_name);
    column->addLayout(header);
    connect(m_name, &QLineEdit::textChanged, this, [this] { refresh(); });

    auto *segments = new QWidget(this);
    segments->setFixedWidth(220);
    segments->setObjectName(QStringLiteral("segments"));
    segments->setStyleSheet(QStringLiteral("QWidget#segments { background: rgba(255,255,255,14); border-radius: 8px; }"));
    auto *segmentRow = new QHBoxLayout(segments);
    segmentRow->setContentsMargins(2, 2, 2, 2);
    segmentRow->setSpacing(2);
    m_all = new QPushButton(tr("All rules"), segments);
    m_any = new QPushButton(tr("Any rule"), segments);
    auto *group = new QButtonGroup(this);
    for (QPushButton *b : {m_all, m_any}) {
        b->setObjectName(QStringLiteral("segment"));
        b->setCheckable(true);
        b->setAutoDefault(false);
        b->setFocusPolicy(Qt::NoFocus);
        group->addButton(b);
        segmentRow->addWidget(b);
    }
    (m_folder.match == QLatin1String("any") ? m_any : m_all)->setChecked(true);
    connect(m_all, &QPushButton::toggled, this, [this](bool on) {
        if (on)
            m_folder.match = QStringLiteral("all");
        refresh();
    });
    connect(m_any, &QPushButton::toggled, this, [this](bool on) {
        if (on)
            m_folder.match = QStringLiteral("any");
        refresh();
    });
    auto *matchRow = new QHBoxLayout;
    auto *matchLabel = new QLabel(tr("Match"), this);
    matchRow->addWidget(matchLabel);
    matchRow->addSpacing(10);
    matchRow->addWidget(segments);
    matchRow->addStretch(1);
    column->addLayout(matchRow);

    m_rowsLayout = new QVBoxLayout;
    m_rowsLayout->setSpacing(8);
    column->addLayout(m_rowsLayout);

    auto *addRule = new SymbolButton(QStringLiteral("plus"), this);
    addRule->setText(tr("Add Rule"));
    addRule->setSymbolSize(12);
    addRule->setCapsule(whiteAt(0.06), 0.2);
    addRule->setFixedSize(addRule->sizeHint() + QSize(20, 6));
    m_addRule = addRule;
    m_addRule->setAutoDefault(false);
    connect(m_addRule, &QPushButton::clicked, this, &SmartFolderEditor::addRule);
    column->addWidget(m_addRule, 0, Qt::AlignLeft);

    m_describeRow = new QWidget(this);
    auto *describeLayout = new QHBoxLayout(m_describeRow);
    describeLayout->setContentsMargins(0, 0, 0, 0);
    describeLayout->setSpacing(8);
    m_describe = new QLineEdit(m_describeRow);
    m_describe->setPlaceholderText(QString::fromUtf8(kDescribePlaceholder));
    m_describe->installEventFilter(this);
    describeLayout->addWidget(m_describe, 1);
    m_spinner = new Spinner(14, m_describeRow);
    describeLayout->addWidget(m_spinner);
    column->addWidget(m_describeRow);
    m_describeStatus = new QLabel(this);
    m_describeStatus->setObjectName(QStringLiteral("describeStatus"));
    m_describeStatus->setTextFormat(Qt::PlainText);
    m_describeStatus->setWordWrap(true);
    QPalette statusPalette = m_describeStatus->palette();
    statusPalette.setColor(QPalette::WindowText, QColor(255, 159, 10));
    m_describeStatus->setPalette(statusPalette);
    m_describeStatus->hide();
    column->addWidget(m_describeStatus);

    auto *footer = new QHBoxLayout;
    m_countLabel = new QLabel(this);
    m_countLabel->setObjectName(QStringLiteral("count"));
    footer->addWidget(m_countLabel);
    footer->addStretch(1);
    auto *cancel = new SymbolButton(QString(), this);
    cancel->setText(tr("Cancel"));
    cancel->setCapsule(whiteAt(0.06), 0.2);
    m_cancel = cancel;
    m_cancel->setFixedSize(m_cancel->sizeHint() + QSize(28, 6));
    m_cancel->setAutoDefault(false);
    connect(m_cancel, &QPushButton::clicked, this, &QDialog::reject);
    auto *saveButton = new SymbolButton(QString(), this);
    saveButton->setText(tr("Save"));
    saveButton->setCapsule(QColor(10, 132, 255, 200), 0.3);
    m_save = saveButton;
    m_save->setFixedSize(m_save->sizeHint() + QSize(36, 6));
    m_save->setDefault(true);
    connect(m_save, &QPushButton::clicked, this, &SmartFolderEditor::save);
    footer->addWidget(m_cancel);
    footer->addSpacing(8);
    footer->addWidget(m_save);
    column->addLayout(footer);

    // While the model rests after a failure the row stays, saying so.
    auto showModel = [this] {
        const QString rest = languageModelRestNote();
        m_describe->setEnabled(rest.isEmpty());
        m_describe->setPlaceholderText(rest.isEmpty() ? QString::fromUtf8(kDescribePlaceholder) : rest);
        m_describe->setToolTip(rest);
        setModelAvailable(!rest.isEmpty() || languageModelAvailable());
    };
    connect(static_cast<LanguageModelRests *>(&LanguageModel::restSignals()), &LanguageModelRests::changed, this,
            showModel);
    showModel();
    rebuildRows();
}

void SmartFolderEditor::paintEvent(QPaintEvent *event)
{
    QPainter p(this);
    p.fillRect(rect(), palette().color(QPalette::Window));
    QDialog::paintEvent(event);
}

bool SmartFolderEditor::eventFilter(QObject *watched, QEvent *event)
{
    // Return in the description asks the model; it must not also press Save.
    if (watched == m_describe && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            describe();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void SmartFolderEditor::setModelAvailable(bool available)
{
    m_modelAvailable = available;
    m_describeRow->setVisible(available);
    if (!available)
        m_describeStatus->hide();
}

int SmartFolderEditor::indexOf(const QUuid &id) const
{
    for (int i = 0; i < m_rows.size(); ++i)
        if (m_rows.at(i).draft.id == id)
            return i;
    return -1;
}

QComboBox *SmartFolderEditor::kindBox(int row) const { return m_rowWidgets.value(row).kind; }
QLineEdit *SmartFolderEditor::valueField(int row) const { return m_rowWidgets.value(row).value; }
SymbolButton *SmartFolderEditor::removeButton(int row) const { return m_rowWidgets.value(row).remove; }
QLabel *SmartFolderEditor::problemLabel(int row) const { return m_rowWidgets.value(row).problem; }

void SmartFolderEditor::rebuildRows()
{
    for (const RowWidgets &w : std::as_const(m_rowWidgets)) {
        m_rowsLayout->removeWidget(w.row);
        w.row->hide();
        w.row->deleteLater(); // it may be the sender of the click that led here
    }
    m_rowWidgets.clear();
    for (const RuleRow &ruleRow : std::as_const(m_rows)) {
        const QUuid id = ruleRow.draft.id;
        auto *row = new QWidget(this);
        auto *outer = new QVBoxLayout(row);
        outer->setContentsMargins(0, 0, 0, 0);
        outer->setSpacing(3);
        auto *line = new QHBoxLayout;
        line->setSpacing(8);
        auto *kind = new QComboBox(row);
        kind->setFixedWidth(170);
        for (RuleDraft::Kind k : RuleDraft::allKinds())
            kind->addItem(ruleKindTitle(k), RuleDraft::rawValue(k));
        kind->setCurrentIndex(int(RuleDraft::allKinds().indexOf(ruleRow.draft.kind)));
        auto *value = new QLineEdit(ruleRow.draft.value, row);
        value->setPlaceholderText(ruleKindPlaceholder(ruleRow.draft.kind));
        auto *remove = new SymbolButton(QStringLiteral("minus.circle"), row);
        remove->setFixedSize(28, 28);
        remove->setToolTip(tr("Remove Rule"));
        remove->setAccessibleName(tr("Remove Rule"));
        remove->setAutoDefault(false);
        line->addWidget(kind);
        line->addWidget(value, 1);
        line->addWidget(remove);
        auto *problem = plainLabel(QString(), row);
        problem->setObjectName(QStringLiteral("problem"));
        problem->hide();
        outer->addLayout(line);
        outer->addWidget(problem);
        row->setFixedWidth(kColumnWidth);
        m_rowsLayout->addWidget(row);
        m_rowWidgets << RowWidgets{row, kind, value, remove, problem};

        connect(kind, &QComboBox::currentIndexChanged, this, [this, id, value](int index) {
            const int i = indexOf(id);
            if (i < 0 || index < 0)
                return;
            m_rows[i].draft.kind = RuleDraft::allKinds().at(index);
            value->setPlaceholderText(ruleKindPlaceholder(m_rows[i].draft.kind));
            refresh();
        });
        connect(value, &QLineEdit::textChanged, this, [this, id](const QString &text) {
            const int i = indexOf(id);
            if (i < 0)
                return;
            m_rows[i].draft.value = text;
            refresh();
        });
        connect(remove, &QPushButton::clicked, this, [this, id] { removeRule(id); });
    }
    refresh();
}

void SmartFolderEditor::refresh()
{
    bool refused = false;
    for (int i = 0; i < m_rows.size() && i < m_rowWidgets.size(); ++i) {
        const QString problem = m_rows.at(i).problem();
        m_rowWidgets[i].problem->setText(problem);
        m_rowWidgets[i].problem->setVisible(!problem.isEmpty());
        refused = refused || !problem.isEmpty();
    }
    m_count = countMatches(m_store.activeItems(), m_folder.match, rulesOfRows(m_rows));
    m_countLabel->setText(matchCountText(m_count));
    m_save->setEnabled(!m_name->text().trimmed().isEmpty() && !refused);
    m_spinner->setRunning(m_thinking);
}

SmartFolder SmartFolderEditor::editedFolder() const
{
    SmartFolder folder = m_folder;
    folder.name = m_name->text().trimmed();
    folder.rules = rulesOfRows(m_rows);
    return folder;
}

void SmartFolderEditor::addRule()
{
    m_rows << RuleRow::fresh(Rule::Case::TextContains, QString());
    rebuildRows();
    if (!m_rowWidgets.isEmpty())
        m_rowWidgets.last().value->setFocus(Qt::OtherFocusReason);
}

void SmartFolderEditor::removeRule(const QUuid &id)
{
    const int i = indexOf(id);
    if (i < 0)
        return;
    m_rows.removeAt(i);
    rebuildRows();
}

void SmartFolderEditor::setThinking(bool thinking)
{
    if (m_thinking == thinking)
        return;
    m_thinking = thinking;
    refresh();
    emit thinkingChanged(thinking);
}

void SmartFolderEditor::describe()
{
    const QString description = m_describe->text().trimmed();
    // One question at a time: a second answer would race the first.
    if (m_thinking || description.isEmpty())
        return;
    setThinking(true);
    m_describeStatus->hide();
    QPointer<SmartFolderEditor> self(this);
    generateRules(
        description,
        [self, description](std::optional<GeneratedRules> answer) {
            if (!self)
                return;
            self->setThinking(false);
            // Nothing changes on a failed answer, but the user hears of it.
            if (!answer) {
                self->m_describeStatus->setText(
                    tr("The language model did not answer. Check that it is running, then try again."));
                self->m_describeStatus->show();
                return;
            }
            if (answer->rules.isEmpty()) {
                self->m_describeStatus->setText(tr("The language model found no rules in that description."));
                self->m_describeStatus->show();
                return;
            }
            (answer->match == QLatin1String("any") ? self->m_any : self->m_all)->setChecked(true);
            QList<RuleRow> rows;
            for (const RuleDraft &draft : std::as_const(answer->rules))
                rows << RuleRow::fresh(draft.kind, draft.value);
            self->m_rows = rows;
            if (self->m_name->text().trimmed().isEmpty())
                self->m_name->setText(description.left(60));
            self->rebuildRows();
        },
        this);
}

void SmartFolderEditor::save()
{
    if (!m_save->isEnabled())
        return;
    m_store.saveSmartFolder(editedFolder());
    accept();
}

} // namespace vellora
