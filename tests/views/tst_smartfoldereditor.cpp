#include "FakeModelServer.h"
#include "PanelFixtures.h"

#include "views/Glass.h"
#include "views/RuleRows.h"
#include "views/SmartFolderEditor.h"
#include "platform/LanguageModel.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

using namespace vellora;

Q_DECLARE_METATYPE(vellora::Rule)
Q_DECLARE_METATYPE(std::optional<vellora::Rule>)

namespace {
// One rule of every kind, with values the editor's text cannot all say.
QList<Rule> tenRules()
{
    return {Rule::kind(QStringLiteral("link")),
            Rule::tagsAny({QStringLiteral("Desk"), QStringLiteral("oak")}),
            Rule::tagsAll({QStringLiteral("walnut")}),
            Rule::noTags(),
            Rule::labelContains(QStringLiteral("chair")),
            Rule::textContains(QStringLiteral("pricing")),
            Rule::domainIs(QStringLiteral("example.com")),
            Rule::addedWithinDays(7),
            Rule::colourNear(QStringLiteral("#C8A070"), 12.5),
            Rule::openedAtLeast(3)};
}

LibraryFile library()
{
    Item warm = paneltest::image(QStringLiteral("warm"), {"b"});
    warm.palette = QStringList{"#C8A070"};
    warm.tags = QStringList{"desk"};
    Item cold = paneltest::image(QStringLiteral("cold"), {"b"});
    cold.palette = QStringList{"#2050C0"};
    Item site = paneltest::link(QStringLiteral("site"), QStringLiteral("https://example.com/p"), {"b"});
    site.openCount = 4;
    return paneltest::document({paneltest::board("b", "Inbox")}, {warm, cold, site},
                               {SmartFolder{"ten", "Everything", "any", tenRules()}});
}

void setText(QLineEdit *field, const QString &text)
{
    field->selectAll();
    QTest::keyClick(field, Qt::Key_Backspace);
    QTest::keyClicks(field, text);
}
} // namespace

class TestSmartFolderEditor : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void untouchedRowsGiveTheirRuleBack();
    void editedRows_data();
    void editedRows();
    void countText();
    void saveWithoutChangesKeepsEveryRule();
    void screenshotAllTenKinds();
    void editThroughWidgets();
    void refusedColourBlocksSave();
    void cancelWritesNothing();
    void describeReplacesRowsOnce();
    void failedDescribeKeepsRows();
};

void TestSmartFolderEditor::initTestCase()
{
    Defaults::standard().remove(QString::fromLatin1(kLanguageModelURLKey));
    Defaults::standard().set(QString::fromLatin1(kLanguageModelTimeoutKey), 5.0);
}

void TestSmartFolderEditor::untouchedRowsGiveTheirRuleBack()
{
    QList<Rule> odd = tenRules();
    // Stored values the editor's text could not make again.
    odd << Rule::kind(QStringLiteral("video")) << Rule::tagsAny({}) << Rule::colourNear(QStringLiteral("C8A070"), 5.0);
    for (const Rule &rule : odd) {
        RuleRow row = RuleRow::fromRule(rule);
        QVERIFY(row.untouched());
        QCOMPARE(row.rule(), std::optional<Rule>(rule));
        QVERIFY(row.problem().isEmpty());
        // Typing and typing back is no change either.
        row.draft.value += QStringLiteral("x");
        row.draft.value.chop(1);
        QCOMPARE(row.rule(), std::optional<Rule>(rule));
    }
}

void TestSmartFolderEditor::editedRows_data()
{
    QTest::addColumn<bool>("fromColourRule"); // the row was a colourNear of tolerance 12.5
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("value");
    QTest::addColumn<std::optional<Rule>>("rule");
    QTest::addColumn<bool>("refused");
    using K = Rule::Case;
    const std::optional<Rule> none;
    QTest::newRow("tags trimmed, lower case, empty fragments dropped")
        << false << int(K::TagsAny) << " Desk , , ,Oak Wood , " << std::optional(Rule::tagsAny({"desk", "oak wood"})) << false;
    QTest::newRow("all tags lower case") << false << int(K::TagsAll) << "A,B" << std::optional(Rule::tagsAll({"a", "b"}))
                                         << false;
    QTest::newRow("a lone comma gives no tags") << false << int(K::TagsAny) << " , " << none << false;
    QTest::newRow("new colour row gets 30") << false << int(K::ColourNear) << "102030"
                                            << std::optional(Rule::colourNear("#102030", 30.0)) << false;
    QTest::newRow("edited colour keeps its tolerance")
        << true << int(K::ColourNear) << "#102030" << std::optional(Rule::colourNear("#102030", 12.5)) << false;
    QTest::newRow("colour with a plus sign") << false << int(K::ColourNear) << "+C8A070" << none << true;
    QTest::newRow("colour with a minus sign") << true << int(K::ColourNear) << "#-C8A07" << none << true;
    QTest::newRow("five hex digits") << false << int(K::ColourNear) << "#C8A07" << none << true;
    QTest::newRow("not hex") << false << int(K::ColourNear) << "#GGHHII" << none << true;
    QTest::newRow("a colour name") << false << int(K::ColourNear) << "red" << none << true;
    QTest::newRow("empty colour is only left out") << false << int(K::ColourNear) << "  " << none << false;
    QTest::newRow("kind in any case") << false << int(K::Kind) << " Image " << std::optional(Rule::kind("image")) << false;
    QTest::newRow("days with a blank") << false << int(K::AddedWithinDays) << "14 " << std::optional(Rule::addedWithinDays(14))
                                       << false;
    QTest::newRow("days in words") << false << int(K::AddedWithinDays) << "ten" << none << false;
    QTest::newRow("colour row turned into text") << true << int(K::TextContains) << "oak"
                                                 << std::optional(Rule::textContains("oak")) << false;
}

void TestSmartFolderEditor::editedRows()
{
    QFETCH(bool, fromColourRule);
    QFETCH(int, kind);
    QFETCH(QString, value);
    QFETCH(std::optional<Rule>, rule);
    QFETCH(bool, refused);
    RuleRow row = fromColourRule ? RuleRow::fromRule(Rule::colourNear(QStringLiteral("#C8A070"), 12.5))
                                 : RuleRow::fresh(Rule::Case::TextContains, QString());
    row.draft.kind = Rule::Case(kind);
    row.draft.value = value;
    QCOMPARE(row.rule(), rule);
    QCOMPARE(!row.problem().isEmpty(), refused);
}

void TestSmartFolderEditor::countText()
{
    QCOMPARE(matchCountText(0), QStringLiteral("0 ITEMS MATCH"));
    QCOMPARE(matchCountText(1), QStringLiteral("1 ITEM MATCH"));
    QCOMPARE(matchCountText(2), QStringLiteral("2 ITEMS MATCH"));
}

void TestSmartFolderEditor::saveWithoutChangesKeepsEveryRule()
{
    paneltest::Library lib(library());
    const SmartFolder stored = lib.store->smartFolders().first();
    SmartFolderEditor editor(*lib.store, stored);
    QCOMPARE(editor.rows().size(), 10);
    QTest::mouseClick(editor.saveButton(), Qt::LeftButton);
    QCOMPARE(editor.result(), int(QDialog::Accepted));
    QCOMPARE(lib.store->smartFolders().size(), 1);
    QCOMPARE(lib.store->smartFolders().first(), stored);
    QCOMPARE(lib.store->smartFolders().first().rules.at(8).tolerance, 12.5);
}

void TestSmartFolderEditor::screenshotAllTenKinds()
{
    paneltest::Library lib(library());
    SmartFolderEditor editor(*lib.store, lib.store->smartFolders().first());
    editor.setModelAvailable(true);
    editor.show();
    // One row per kind, each showing its own title.
    for (int i = 0; i < 10; ++i)
        QCOMPARE(editor.kindBox(i)->currentText(), ruleKindTitle(RuleDraft::allKinds().at(i)));
    QCOMPARE(editor.kindBox(0)->count(), 10);
    QCOMPARE(editor.kindBox(0)->width(), 170);
    QCOMPARE(editor.allButton()->parentWidget()->width(), 220);
    QVERIFY(editor.anyButton()->isChecked());
    QCOMPARE(editor.valueField(1)->text(), QStringLiteral("Desk, oak"));
    QCOMPARE(editor.valueField(3)->placeholderText(), QString());
    QCOMPARE(editor.valueField(8)->text(), QStringLiteral("#C8A070"));
    // "any": warm (tags, colour), site (kind, domain, opened, recent) and cold (recent).
    QCOMPARE(editor.countLabel()->text(), QStringLiteral("3 ITEMS MATCH"));

    const QImage shot = paneltest::shoot(editor, QStringLiteral("smartfoldereditor"));
    QVERIFY(shot.width() >= 560);
    // Every row's value field carries text or a placeholder; every row is drawn.
    for (int i = 0; i < 10; ++i) {
        const QRect field(editor.valueField(i)->mapTo(&editor, QPoint(0, 0)), editor.valueField(i)->size());
        QVERIFY2(paneltest::brightPixels(shot, field.adjusted(4, 4, -4, -4), 120) > (i == 3 ? -1 : 5),
                 qPrintable(QString::number(i)));
        const QRect box(editor.kindBox(i)->mapTo(&editor, QPoint(0, 0)), editor.kindBox(i)->size());
        QVERIFY(paneltest::brightPixels(shot, box.adjusted(4, 4, -20, -4), 120) > 10);
    }
    // Save wears the prominent blue capsule.
    const QRect save(editor.saveButton()->mapTo(&editor, QPoint(0, 0)), editor.saveButton()->size());
    QVERIFY(paneltest::hasColour(shot, save, QColor(10, 120, 235), 50));
}

void TestSmartFolderEditor::editThroughWidgets()
{
    paneltest::Library lib(library());
    SmartFolder fresh{QStringLiteral("new-id"), QString(), QStringLiteral("all"), {}};
    SmartFolderEditor editor(*lib.store, fresh);
    editor.show();
    QVERIFY(!editor.saveButton()->isEnabled()); // no name yet
    QCOMPARE(editor.countLabel()->text(), QStringLiteral("0 ITEMS MATCH"));

    QTest::keyClicks(editor.nameField(), QStringLiteral("  Warm desks "));
    QTest::mouseClick(editor.addRuleButton(), Qt::LeftButton);
    QTest::mouseClick(editor.addRuleButton(), Qt::LeftButton);
    QCOMPARE(editor.rows().size(), 2);
    QCOMPARE(editor.rows().at(0).draft.kind, Rule::Case::TextContains);

    editor.kindBox(0)->setCurrentIndex(int(RuleDraft::allKinds().indexOf(Rule::Case::TagsAny)));
    QCOMPARE(editor.valueField(0)->placeholderText(), QStringLiteral("desk, oak"));
    QTest::keyClicks(editor.valueField(0), QStringLiteral("Desk, Lamp"));
    editor.kindBox(1)->setCurrentIndex(int(RuleDraft::allKinds().indexOf(Rule::Case::ColourNear)));
    QTest::keyClicks(editor.valueField(1), QStringLiteral("c8a070"));
    QCOMPARE(editor.countLabel()->text(), QStringLiteral("1 ITEM MATCH"));
    editor.anyButton()->click();
    QCOMPARE(editor.countLabel()->text(), QStringLiteral("1 ITEM MATCH"));

    // A third row that gives nothing is left out of the saved folder.
    QTest::mouseClick(editor.addRuleButton(), Qt::LeftButton);
    QTest::mouseClick(editor.removeButton(0), Qt::LeftButton);
    QCOMPARE(editor.rows().size(), 2);
    QCOMPARE(editor.valueField(0)->text(), QStringLiteral("c8a070"));

    QTest::keyClick(editor.nameField(), Qt::Key_Return); // Return saves
    QCOMPARE(editor.result(), int(QDialog::Accepted));
    const SmartFolder saved = lib.store->smartFolders().last();
    QCOMPARE(saved.id, QStringLiteral("new-id"));
    QCOMPARE(saved.name, QStringLiteral("Warm desks"));
    QCOMPARE(saved.match, QStringLiteral("any"));
    QCOMPARE(saved.rules, QList<Rule>{Rule::colourNear(QStringLiteral("#c8a070"), 30.0)});
    QVERIFY(lib.store->savePending());
}

void TestSmartFolderEditor::refusedColourBlocksSave()
{
    paneltest::Library lib(library());
    SmartFolderEditor editor(*lib.store, lib.store->smartFolders().first());
    editor.show();
    QLineEdit *colour = editor.valueField(8);
    setText(colour, QStringLiteral("#C8A07"));
    QVERIFY(editor.problemLabel(8)->isVisible());
    QVERIFY(editor.problemLabel(8)->text().contains(QStringLiteral("six hex digits")));
    QVERIFY(!editor.saveButton()->isEnabled());
    QTest::keyClick(colour, Qt::Key_Return);
    QVERIFY(editor.isVisible());
    QCOMPARE(lib.store->smartFolders().first().rules.size(), 10);

    setText(colour, QStringLiteral("#102030"));
    QVERIFY(!editor.problemLabel(8)->isVisible());
    QVERIFY(editor.saveButton()->isEnabled());
    QTest::keyClick(colour, Qt::Key_Return);
    QCOMPARE(lib.store->smartFolders().first().rules.at(8), Rule::colourNear(QStringLiteral("#102030"), 12.5));
}

void TestSmartFolderEditor::cancelWritesNothing()
{
    paneltest::Library lib(library());
    const SmartFolder stored = lib.store->smartFolders().first();
    SmartFolderEditor editor(*lib.store, stored);
    editor.show();
    setText(editor.nameField(), QStringLiteral("Other"));
    QTest::mouseClick(editor.removeButton(0), Qt::LeftButton);
    QTest::keyClick(editor.nameField(), Qt::Key_Escape);
    QCOMPARE(editor.result(), int(QDialog::Rejected));
    QCOMPARE(lib.store->smartFolders().first(), stored);
    QVERIFY(!lib.store->savePending());
}

void TestSmartFolderEditor::describeReplacesRowsOnce()
{
    FakeModelServer server;
    Defaults::standard().set(QString::fromLatin1(kLanguageModelURLKey), server.url().toString());
    server.enqueue(FakeModelServer::answer(nlohmann::json{
        {"match", "any"},
        {"rules", {{{"type", "kind"}, {"value", "link"}}, {{"type", "openedAtLeast"}, {"value", "2"}},
                   {{"type", "sparkle"}, {"value", "x"}}}}}));
    paneltest::Library lib(library());
    SmartFolderEditor editor(*lib.store, SmartFolder{"n", QString(), "all", {}});
    QVERIFY(editor.modelAvailable());
    editor.show();
    QVERIFY(editor.describeField()->isVisible());
    QSignalSpy thinking(&editor, &SmartFolderEditor::thinkingChanged);
    QTest::keyClicks(editor.describeField(), QStringLiteral("links I opened twice"));
    QTest::keyClick(editor.describeField(), Qt::Key_Return);
    QVERIFY(editor.thinking());
    QTest::keyClick(editor.describeField(), Qt::Key_Return); // ignored while thinking
    QVERIFY(editor.isVisible());                            // Return did not press Save
    QTRY_VERIFY_WITH_TIMEOUT(!editor.thinking(), 10000);
    QCOMPARE(server.requestCount(), 1);
    QCOMPARE(thinking.size(), 2);
    QCOMPARE(editor.rows().size(), 2);
    QCOMPARE(editor.rows().at(0).draft.kind, Rule::Case::Kind);
    QCOMPARE(editor.rows().at(1).draft.value, QStringLiteral("2"));
    QVERIFY(editor.anyButton()->isChecked());
    // An empty name takes the description.
    QCOMPARE(editor.nameField()->text(), QStringLiteral("links I opened twice"));
    QCOMPARE(editor.countLabel()->text(), QStringLiteral("1 ITEM MATCH"));
    Defaults::standard().remove(QString::fromLatin1(kLanguageModelURLKey));
}

void TestSmartFolderEditor::failedDescribeKeepsRows()
{
    FakeModelServer server;
    Defaults::standard().set(QString::fromLatin1(kLanguageModelURLKey), server.url().toString());
    server.enqueue(FakeModelServer::Reply{500, "no", false});
    paneltest::Library lib(library());
    SmartFolderEditor editor(*lib.store, lib.store->smartFolders().first());
    editor.show();
    const QList<RuleRow> before = editor.rows();
    QTest::keyClicks(editor.describeField(), QStringLiteral("anything"));
    QTest::keyClick(editor.describeField(), Qt::Key_Return);
    QVERIFY(editor.thinking());
    QTRY_VERIFY_WITH_TIMEOUT(!editor.thinking(), 10000);
    QCOMPARE(editor.rows().size(), before.size());
    for (int i = 0; i < before.size(); ++i)
        QCOMPARE(editor.rows().at(i).draft, before.at(i).draft);
    QCOMPARE(editor.nameField()->text(), QStringLiteral("Everything"));
    Defaults::standard().remove(QString::fromLatin1(kLanguageModelURLKey));
}

QTEST_MAIN(TestSmartFolderEditor)
#include "tst_smartfoldereditor.moc"
