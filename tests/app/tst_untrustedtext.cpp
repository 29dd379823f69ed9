// Text that came from a page, the language model, text recognition, another
// person's shared record or a file name shows as the characters it holds in
// every place of the real main window that shows it: never as a heading, a
// picture, a link or a mnemonic.
#include "MarkupFixture.h"
#include "ShownText.h"

#include "library/SmartFolder.h"
#include "views/PageTitle.h"
#include "views/Sidebar.h"

#include <QCheckBox>
#include <QHelpEvent>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QToolTip>

#include <functional>

using namespace vellora;
using markup::Fixture;

namespace {

struct Place {
    const char *name;
    QString section;        // shown in the window
    QString picked;         // tile Ctrl-clicked first, if any
    QString text;           // what must read literally there
    std::function<bool(Fixture &, const QString &)> shows;
};

bool inspectorShows(Fixture &f, const QString &text) { return shown::someLabelShows(f.window->inspector(), text); }

const QList<Place> &places()
{
    using namespace markup;
    static const QList<Place> list = {
        {"inspector: page title", "all", "L", kPageTitle, inspectorShows},
        {"inspector: site name", "all", "L", kSiteName, inspectorShows},
        {"inspector: insight summary", "all", "L", kSummary, inspectorShows},
        {"inspector: insight point", "all", "L", QStringLiteral("•  ") + kPoint, inspectorShows},
        {"inspector: insight category", "all", "L", kCategory, inspectorShows},
        {"inspector: insight author", "all", "L", QStringLiteral("Author: ") + kAuthor, inspectorShows},
        {"inspector: page text", "all", "L", kPageText,
         [](Fixture &f, const QString &text) {
             return f.window->inspector()->textView() && shown::labelText(f.window->inspector()->textView()) == text;
         }},
        {"inspector: file name", "all", "P", kFileName, inspectorShows},
        {"inspector: recognised text", "all", "P", kRecognised,
         [](Fixture &f, const QString &text) {
             return f.window->inspector()->textView() && shown::labelText(f.window->inspector()->textView()) == text;
         }},
        {"inspector: collection check box", "all", "L", kBoardName,
         [](Fixture &f, const QString &text) {
             QCheckBox *box = f.window->inspector()->collectionBox(QStringLiteral("B2"));
             return box && shown::titleText(box->text()) == text;
         }},
        {"inspector: collection heading", "B2", "", kBoardName,
         [](Fixture &f, const QString &text) {
             return shown::labelText(f.window->inspector()->sectionTitleLabel()) == text;
         }},
        {"inspector: smart folder's rules", "S1", "",
         SmartFolder{"S1", kSmartName, "all", {Rule::textContains(kRuleText)}}.summary(), inspectorShows},
        {"page heading: collection name", "B2", "", kBoardName,
         [](Fixture &f, const QString &text) { return shown::someLabelShows(f.window->pageTitle(), text); }},
        {"page heading: smart folder name", "S1", "", kSmartName,
         [](Fixture &f, const QString &text) { return shown::someLabelShows(f.window->pageTitle(), text); }},
        {"grid: tile title", "all", "", kPageTitle,
         [](Fixture &f, const QString &text) {
             for (const auto &tile : f.gridView()->items())
                 if (tile.id == QLatin1String("L"))
                     return tile.title == text;
             return false;
         }},
        {"sidebar: row tool tip", "all", "", kBoardName,
         [](Fixture &f, const QString &text) {
             Sidebar *sidebar = f.window->sidebar();
             const QPoint at = sidebar->rowRect(QStringLiteral("B2")).center();
             QHelpEvent help(QEvent::ToolTip, at, sidebar->mapToGlobal(at));
             QApplication::sendEvent(sidebar, &help);
             QLabel *tip = shown::toolTipLabel();
             const bool literal = tip && shown::labelText(tip) == text;
             QToolTip::hideText();
             return literal;
         }},
        {"selection bar: Move to… entry", "all", "L", kBoardName,
         [](Fixture &f, const QString &text) {
             QPushButton *move = f.window->selectionBar()->button(QStringLiteral("Move to…"));
             if (!move || !move->menu())
                 return false;
             for (QAction *action : move->menu()->actions())
                 if (shown::titleText(action->text()) == text)
                     return true;
             return false;
         }},
        {"settings: library folder", "all", "", QString(),
         [](Fixture &f, const QString &) {
             // The folder's name is the user's, from the file system.
             return f.store->root().contains(QLatin1String("<b>"))
                 && shown::someLabelShows(f.window->settingsWindow(), f.store->root());
         }},
    };
    return list;
}

} // namespace

class UntrustedTextTest : public QObject {
    Q_OBJECT

private slots:
    void showsLiterally_data()
    {
        QTest::addColumn<int>("place");
        for (int i = 0; i < places().size(); ++i)
            QTest::newRow(places()[i].name) << i;
    }
    void showsLiterally()
    {
        QFETCH(int, place);
        const Place &p = places()[place];
        Fixture f;
        f.state->setSelection(p.section);
        f.show();
        if (!p.picked.isEmpty())
            f.pick(p.picked);
        QTRY_VERIFY2(p.shows(f, p.text), qPrintable(QStringLiteral("not shown literally: ") + p.text));
        // Nothing anywhere in the window was taken for markup: every label
        // reads as the characters it holds.
        for (const QLabel *label : f.window->findChildren<QLabel *>())
            if (!label->inherits("QTipLabel")) // a tool tip is rich text by design
                QVERIFY2(shown::labelText(label) == label->text(), qPrintable(label->text()));
    }

    // A link shows the text its page holds, not what was recognised in the
    // picture of the page.
    void linkTextIsThePageText()
    {
        Fixture f;
        f.show();
        f.pick(QStringLiteral("L"));
        QTRY_VERIFY(f.window->inspector()->textView());
        QCOMPARE(shown::labelText(f.window->inspector()->textView()), markup::kPageText);
        QVERIFY(!shown::someLabelShows(f.window->inspector(), markup::kSnapshotText));

        // Without page text a link has no text section at all.
        f.store->updateItem(QStringLiteral("L"), [](Item &item) { item.pageText.reset(); });
        QTRY_VERIFY(!f.window->inspector()->textView());
        QVERIFY(!shown::someLabelShows(f.window->inspector(), markup::kSnapshotText));
    }
};

QTEST_MAIN(UntrustedTextTest)
#include "tst_untrustedtext.moc"
