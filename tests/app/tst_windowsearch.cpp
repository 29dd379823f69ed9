// Typing into the search field of the real window over a fixed library: after
// every key the grid shows what the visible-items rules give for the text in
// the field, in that order and count, whether the search runs here or on a
// worker thread; the selection and the opened tile survive a filter change
// as long as their items stay shown.
#include "WindowFixture.h"

#include "app/VisibleItems.h"
#include "enrichment/Search.h"
#include "views/CollectionContents.h"
#include "views/GridScreen.h"
#include "views/HeaderBar.h"
#include "views/Inspector.h"
#include "views/PageTitle.h"

#include "ZezevavEri/ScatterGridView.h"

#include <QLabel>
#include <QLineEdit>

using namespace vellora;
using namespace vellora::apptest;

namespace {
const QStringList kWords{"sunset", "harbour", "poster", "bold", "serif", "moss", "neon", "café", "brutal"};

// The fixture's four pictures and 56 (or `extra`) more, two words of text each, some
// with the same date so that the stable order shows.
struct SearchWindow : WindowFixture {
    explicit SearchWindow(int extra = 56)
    {
        const QString root = store->root();
        QList<Item> more;
        for (int i = 0; i < extra; ++i) {
            Item it = picture(QStringLiteral("P%1").arg(i, 2, 10, QLatin1Char('0')), i % 3 ? "B1" : "B2", 10 + i / 2, root);
            it.ocrText = kWords[i % kWords.size()] + QLatin1Char(' ') + kWords[(i * 5 + 2) % kWords.size()];
            it.pixelWidth = 300 + (i % 4) * 100;
            more << it;
        }
        store->appendItems(more);
        window->resize(1000, 700);
    }

    QStringList gridIds() const
    {
        QStringList ids;
        for (const auto &tile : window->grid()->engine().items())
            ids << tile.id;
        return ids;
    }
    // What the visible-items rules give for `query` over the shown section.
    QStringList expectedIds(const QString &query) const
    {
        VisibleFilter filter;
        filter.query = query;
        filter.sort = state->sort();
        QStringList ids;
        for (const Item &item : filteredSortedItems(itemsInCollection(*store, state->selection()), filter))
            ids << item.id;
        return ids;
    }
    QLineEdit *field() const { return window->headerBar()->searchField(); }
};
} // namespace

class WindowSearchTest : public QObject {
    Q_OBJECT
private slots:
    void everyKeystrokeShowsTheFilteredOrder_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("offThread");
        for (bool offThread : {false, true}) {
            const char *where = offThread ? "worker" : "here";
            // Letters typed one by one; '<' is Backspace, '!' is Escape.
            QTest::addRow("narrowing, %s", where) << "bol" << offThread;
            QTest::addRow("narrowing to nothing and back, %s", where) << "mossz<<<<" << offThread;
            QTest::addRow("widening by Backspace, %s", where) << "serif<<<" << offThread;
            QTest::addRow("a letter in every word, then cleared, %s", where) << "e!" << offThread;
            QTest::addRow("a file name, %s", where) << "p0<1" << offThread;
        }
    }
    void everyKeystrokeShowsTheFilteredOrder()
    {
        QFETCH(QString, typed);
        QFETCH(bool, offThread);
        SearchWindow w;
        if (offThread)
            w.state->setBackgroundSearchFrom(1);
        w.show();
        w.state->setSearching(true);
        QTRY_VERIFY(w.field()->isVisible());
        w.field()->setFocus();
        QTRY_COMPARE(w.gridIds(), w.expectedIds(QString()));
        // A first search joins the texts; later ones may go to the worker.
        QTest::keyClick(w.field(), Qt::Key_Z);
        QTest::keyClick(w.field(), Qt::Key_Backspace);
        QTRY_COMPARE(w.gridIds(), w.expectedIds(QString()));

        for (const QChar c : typed) {
            if (c == QLatin1Char('<'))
                QTest::keyClick(w.field(), Qt::Key_Backspace);
            else if (c == QLatin1Char('!'))
                QTest::keyClick(w.field(), Qt::Key_Escape);
            else
                QTest::keyClicks(w.field(), QString(c));
            const QString text = w.field()->text();
            QCOMPARE(w.state->search().query(), text);
            const QStringList expected = w.expectedIds(text);
            QTRY_COMPARE(w.gridIds(), expected);
            QTRY_COMPARE(w.window->pageTitle()->count().value_or(-1), int(expected.size()));
            QCOMPARE(w.state->visibleCount(), expected.size());
            // The inspector's count line says the same, hidden or not.
            const QString counted = expected.size() == 1 ? QStringLiteral("1 item")
                                                         : QStringLiteral("%1 items").arg(expected.size());
            QCOMPARE(w.window->inspector()->sectionCountLabel()->text(), counted);
            QStringList shown;
            for (const Item &item : w.window->gridScreen()->visibleItems())
                shown << item.id;
            QCOMPARE(shown, expected);
            // The grid lays out what it shows.
            QTRY_COMPARE(w.window->grid()->engine().frames().size(), size_t(expected.size()));
        }
    }

    // Only the last text counts: keys typed faster than the worker answers
    // end on the list of the text in the field.
    void theLastTextWins()
    {
        SearchWindow w;
        w.state->setBackgroundSearchFrom(1);
        w.show();
        w.state->setSearching(true);
        QTRY_VERIFY(w.field()->isVisible());
        w.field()->setFocus();
        QTest::keyClick(w.field(), Qt::Key_Z);
        QTRY_COMPARE(w.gridIds(), w.expectedIds("z"));
        QTest::keyClick(w.field(), Qt::Key_Backspace);
        QTest::keyClicks(w.field(), "ser");
        QTest::keyClick(w.field(), Qt::Key_Backspace);
        QTest::keyClick(w.field(), Qt::Key_Backspace);
        QTest::keyClicks(w.field(), "moss");
        QTRY_VERIFY(!w.state->searchPending());
        QTRY_COMPARE(w.gridIds(), w.expectedIds("smoss"));
        QTest::qWait(50);
        QCOMPARE(w.gridIds(), w.expectedIds("smoss"));
    }

    // A section large enough that its texts are folded on other threads when
    // the field opens: keys typed at once wait for them, and what shows is
    // what folding in place gives.
    void firstSearchOfALargeSection_data()
    {
        QTest::addColumn<bool>("offThread");
        QTest::addColumn<bool>("roomAhead");
        QTest::newRow("here") << false << false;
        QTest::newRow("worker") << true << false;
        QTest::newRow("worker, room made ahead") << true << true;
    }
    void firstSearchOfALargeSection()
    {
        QFETCH(bool, offThread);
        QFETCH(bool, roomAhead);
        SearchWindow w(2500);
        if (offThread)
            w.state->setBackgroundSearchFrom(1);
        if (roomAhead)
            w.window->gridScreen()->setRoomAheadFrom(1);
        w.state->setSelection(QStringLiteral("all"));
        w.show();
        QTRY_COMPARE(w.state->visibleCount(), qsizetype(2504));
        w.state->setSearching(true);
        w.field()->setFocus();
        QTest::keyClicks(w.field(), "se");
        QTRY_VERIFY(!w.state->searchPending());
        QTRY_COMPARE(w.gridIds(), w.expectedIds("se"));
        QTest::keyClick(w.field(), Qt::Key_Backspace);
        QTRY_COMPARE(w.gridIds(), w.expectedIds("s"));
        QTest::keyClicks(w.field(), "oss");
        QTRY_COMPARE(w.gridIds(), w.expectedIds("soss"));
        QTest::keyClick(w.field(), Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(w.field(), "moss");
        QTRY_COMPARE(w.gridIds(), w.expectedIds("moss"));
        QTest::qWait(50);
        QCOMPARE(w.gridIds(), w.expectedIds("moss"));
        // Every tile that left comes back, in the section's order.
        QTest::keyClick(w.field(), Qt::Key_Escape);
        QTRY_COMPARE(w.gridIds(), w.expectedIds(QString()));
    }

    void selectionAndTheOpenedTileFollowTheFilter_data()
    {
        QTest::addColumn<bool>("offThread");
        QTest::addColumn<bool>("roomAhead");
        QTest::newRow("here") << false << false;
        QTest::newRow("worker") << true << false;
        QTest::newRow("here, room made ahead") << false << true;
    }
    void selectionAndTheOpenedTileFollowTheFilter()
    {
        QFETCH(bool, offThread);
        QFETCH(bool, roomAhead);
        SearchWindow w;
        if (offThread)
            w.state->setBackgroundSearchFrom(1);
        if (roomAhead)
            w.window->gridScreen()->setRoomAheadFrom(1);
        w.state->setSelection(QStringLiteral("all"));
        w.show();
        GridScreen *screen = w.window->gridScreen();
        zezevaveri::ScatterGridView *grid = w.window->grid();
        QTRY_COMPARE(grid->engine().frames().size(), size_t(60));
        // P00 and P09 read "sunset ...", P04 "serif ..." and P02 "poster ...".
        grid->select({"P04", "P00", "P02"});
        QTRY_COMPARE(w.state->selectedIds(), (QStringList{"P04", "P00", "P02"}));
        w.state->setSearching(true);
        QTRY_VERIFY(w.field()->isVisible());
        w.field()->setFocus();
        QTest::keyClicks(w.field(), "s");
        QTRY_COMPARE(w.gridIds(), w.expectedIds("s"));
        // Every picked item has an "s": the selection stays whole, in order.
        QCOMPARE(w.state->selectedIds(), (QStringList{"P04", "P00", "P02"}));
        QTest::keyClicks(w.field(), "e");
        QTRY_COMPARE(w.gridIds(), w.expectedIds("se"));
        QVERIFY(!w.expectedIds("se").contains("P02"));
        QTRY_COMPARE(w.state->selectedIds(), (QStringList{"P04", "P00"}));
        QCOMPARE(grid->selected(), (QStringList{"P04", "P00"}));

        grid->open("P04");
        QTRY_COMPARE(w.state->openedId().value_or(QString()), QStringLiteral("P04"));
        w.field()->setFocus();
        QTest::keyClicks(w.field(), "r");
        QTRY_COMPARE(w.gridIds(), w.expectedIds("ser"));
        QVERIFY(w.expectedIds("ser").contains("P04"));
        QCOMPARE(screen->openedId().value_or(QString()), QStringLiteral("P04"));
        QCOMPARE(grid->focusedID().value_or(QString()), QStringLiteral("P04"));
        QTest::keyClicks(w.field(), "z");
        QTRY_COMPARE(w.gridIds(), QStringList());
        QTRY_VERIFY(!screen->openedId());
        QTRY_VERIFY(!grid->engine().opened());
        QCOMPARE(w.state->selectedIds(), QStringList());
    }
};

QTEST_MAIN(WindowSearchTest)
#include "tst_windowsearch.moc"
