// The window's state and the texts it reads (vellora: addresses, the
// environment hooks), without a window.
#include "app/AppState.h"
#include "app/DeepLink.h"
#include "app/EnvironmentHooks.h"

#include "enrichment/Search.h"
#include "library/LibraryStore.h"
#include "platform/Defaults.h"

#include "ZezevavEri/ScatterGridController.h"
#include "ZezevavEri/ScatterGridView.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace vellora;



namespace {

Item picture(const QString &id, const QString &board, double added)
{
    Item it;
    it.id = id;
    it.kind = QStringLiteral("image");
    it.originalFilename = id + ".png";
    it.dateAdded = added;
    it.collectionIds = {board};
    return it;
}

// A store with two collections and three items, and the state over it.
struct Fixture {
    QTemporaryDir dir;
    Defaults settings{dir.filePath("settings.conf")};
    LibraryStore store{dir.path(), false, settings};
    zezevaveri::ScatterGridController grid;
    std::unique_ptr<AppState> state;
    QStringList added; // "url -> board"
    QStringList imported;

    Fixture()
    {
        store.replaceCollections({{"B1", "Inbox", 1.0, {}, {}, {}}, {"B2", "Links", 2.0, {}, {}, {}}});
        Item a = picture("A", "B1", 1);
        a.ocrText = QStringLiteral("harbour");
        Item b = picture("B", "B2", 2);
        b.palette = QStringList{"#ff0000"};
        Item c = picture("C", "B2", 3);
        store.appendItems({a, b, c});
        state = std::make_unique<AppState>(store, settings, grid);
        AppState::Hooks hooks;
        hooks.sectionItems = [](const LibraryStore &s, const QString &section) {
            QList<Item> out;
            for (const Item &i : s.activeItems())
                if (section == QLatin1String("all") || i.collectionIds.contains(section))
                    out << i;
            return out;
        };
        hooks.resolveBoardId = [](const LibraryStore &s, const QString &section) {
            return s.collection(section) ? section : s.defaultBoardId();
        };
        hooks.addLink = [this](LibraryStore &, const QString &url, const QString &board) { added << url + " -> " + board; };
        hooks.importFiles = [this](LibraryStore &, const QStringList &files, const QString &board) {
            imported << files.join(',') + " -> " + board;
        };
        state->setHooks(hooks);
    }
};

} // namespace

class ShellStateTest : public QObject {
    Q_OBJECT

private slots:
    void deepLinks_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("expected"); // "kind id [url]" or "-"
        QTest::newRow("item") << "vellora://item/ABC-1" << "item ABC-1";
        QTest::newRow("item, trailing slash") << "vellora://item/ABC-1/" << "item ABC-1";
        QTest::newRow("item, last component") << "vellora://item/x/ABC" << "item ABC";
        QTest::newRow("item, encoded") << "vellora://item/a%20b" << "item a b";
        QTest::newRow("board") << "vellora://board/inbox" << "board inbox";
        QTest::newRow("host is case-sensitive") << "vellora://Item/ABC" << "-";
        QTest::newRow("scheme is case-sensitive") << "Vellora://item/ABC" << "-";
        QTest::newRow("other scheme") << "https://item/ABC" << "-";
        QTest::newRow("other host") << "vellora://open/ABC" << "-";
        QTest::newRow("no host") << "vellora:item/ABC" << "-";
        QTest::newRow("no id") << "vellora://item" << "-";
        QTest::newRow("root only") << "vellora://item/" << "-";
        QTest::newRow("dot-dot id") << "vellora://board/.." << "-";
        QTest::newRow("encoded slash in id") << "vellora://item/a%2Fb" << "-";
        QTest::newRow("add with url") << "vellora://add?url=https%3A%2F%2Fexample.com%2Fa%3Fb%3D1" << "add  https://example.com/a?b=1";
        QTest::newRow("add, first url wins, plus kept") << "vellora://add?x=1&url=a+b.com&url=c.com" << "add  a+b.com";
        QTest::newRow("add without query") << "vellora://add" << "add  <none>";
        QTest::newRow("add with empty url") << "vellora://add?url=" << "add  ";
        QTest::newRow("add with valueless url") << "vellora://add?url" << "add  <none>";
        QTest::newRow("add, path ignored") << "vellora://add/x?url=e.com#frag" << "add  e.com";
        QTest::newRow("search with words") << "vellora://search?q=sun%20beach" << "search  sun beach";
        QTest::newRow("search without words") << "vellora://search" << "search  <none>";
    }

    void deepLinks()
    {
        QFETCH(QString, address);
        QFETCH(QString, expected);
        const auto link = parseDeepLink(address);
        QString got = QStringLiteral("-");
        if (link) {
            const char *kinds[] = {"item", "board", "add", "search"};
            got = QString::fromLatin1(kinds[int(link->kind)]) + " " + link->id;
            if (link->kind == DeepLink::Kind::Add || link->kind == DeepLink::Kind::Search)
                got += " " + link->url.value_or(QStringLiteral("<none>"));
        }
        QCOMPARE(got, expected);
    }

    void windowSizes_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QSizeF>("expected"); // empty for none
        QTest::newRow("plain") << "1400x900" << QSizeF(1400, 900);
        QTest::newRow("fractions, empty pieces dropped") << "x1400.5xx900x" << QSizeF(1400.5, 900);
        QTest::newRow("too small is raised") << "300x200" << QSizeF(700, 450);
        QTest::newRow("one number") << "1400" << QSizeF();
        QTest::newRow("three numbers") << "1400x900x2" << QSizeF();
        QTest::newRow("letters") << "axb" << QSizeF();
        QTest::newRow("letters dropped") << "1400xax900" << QSizeF(1400, 900);
        QTest::newRow("upper-case X") << "1400X900" << QSizeF();
        QTest::newRow("zero") << "0x900" << QSizeF();
        QTest::newRow("negative") << "-1400x900" << QSizeF();
        QTest::newRow("infinite") << "infx900" << QSizeF();
        QTest::newRow("nan") << "nanx900" << QSizeF();
        QTest::newRow("huge") << "1e400x900" << QSizeF();
    }

    void windowSizes()
    {
        QFETCH(QString, value);
        QFETCH(QSizeF, expected);
        const auto size = windowSizeFromEnvironment(value);
        QCOMPARE(size.value_or(QSizeF()), expected);
    }

    // A first start opens at 1300 x 850 where the screen has room, smaller
    // where it has not (with room for the frame), never below 700 x 450.
    void firstWindowSizes_data()
    {
        QTest::addColumn<QRect>("available");
        QTest::addColumn<QSize>("expected");
        QTest::newRow("large screen") << QRect(0, 0, 1920, 1050) << QSize(1300, 850);
        QTest::newRow("narrow screen") << QRect(0, 0, 1200, 800) << QSize(1184, 752);
        QTest::newRow("short screen below a panel") << QRect(0, 32, 1600, 868) << QSize(1300, 820);
        QTest::newRow("tiny screen") << QRect(0, 0, 640, 480) << QSize(700, 450);
        QTest::newRow("no screen") << QRect() << QSize(1300, 850);
    }

    void firstWindowSizes()
    {
        QFETCH(QRect, available);
        QFETCH(QSize, expected);
        QCOMPARE(firstWindowSize(QSize(1300, 850), available, QSize(700, 450)), expected);
    }

    void sidebarWidths_data()
    {
        QTest::addColumn<QString>("value"); // "<unset>" for none
        QTest::addColumn<double>("expected");
        QTest::newRow("unset") << "<unset>" << 244.0;
        QTest::newRow("number") << "300" << 300.0;
        QTest::newRow("fraction") << "180.5" << 180.5;
        QTest::newRow("not a number") << "wide" << 244.0;
        QTest::newRow("trailing text") << "300px" << 244.0;
        QTest::newRow("blank around") << " 300" << 244.0;
        QTest::newRow("zero") << "0" << 244.0;
        QTest::newRow("negative") << "-10" << 244.0;
        QTest::newRow("infinite") << "inf" << 244.0;
        QTest::newRow("nan") << "nan" << 244.0;
    }

    void sidebarWidths()
    {
        QFETCH(QString, value);
        QFETCH(double, expected);
        const std::optional<QString> env = value == QLatin1String("<unset>") ? std::nullopt : std::optional<QString>(value);
        QCOMPARE(sidebarWidthDefault(env), expected);
    }

    void sectionsByName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("expected");
        QTest::newRow("built-in") << "Trash" << "trash";
        QTest::newRow("collection named like a built-in wins") << "Links" << "B2";
        QTest::newRow("smart folder wins over collection") << "Inbox" << "S1";
        QTest::newRow("exact only") << "trash" << "-";
        QTest::newRow("nothing") << "Elsewhere" << "-";
    }

    void sectionsByName()
    {
        QFETCH(QString, name);
        QFETCH(QString, expected);
        QList<Board> boards{{"B1", "Inbox", 0, {}, {}, {}}, {"B2", "Links", 0, {}, {}, {}}};
        QList<SmartFolder> folders{{"S1", "Inbox", "all", {}}};
        QCOMPARE(sectionNamed(name, folders, boards).value_or("-"), expected);
    }

    void selectionChangeRules()
    {
        Fixture f;
        QCOMPARE(f.state->selection(), QString("inbox"));
        f.state->setSort("opened");
        f.state->setSelection("links");
        QCOMPARE(f.state->sort(), QString("opened"));
        f.state->setSimilarTo(QString("A"));
        f.state->setSelection("B1");
        // Leaving Links ends the "opened" order and find-similar, and is remembered.
        QCOMPARE(f.state->sort(), QString("newest"));
        QVERIFY(!f.state->similarTo());
        QCOMPARE(f.settings.string("lastBoard"), QString("B1"));
        f.state->setSort("az");
        f.state->setSelection("links");
        QCOMPARE(f.state->sort(), QString("az"));
    }

    void openItemMakesItVisible()
    {
        Fixture f;
        f.state->setSelection("B1");
        f.state->search().setQuery("harbour");
        f.state->setHueFilter(120.0);
        f.state->setSimilarTo(QString("A"));
        // Hidden by the section and the filters: everything is cleared first.
        f.state->handleOpenURL("vellora://item/C");
        QCOMPARE(f.state->selection(), QString("all"));
        QVERIFY(f.state->search().query().isEmpty());
        QVERIFY(!f.state->hueFilter());
        QVERIFY(!f.state->similarTo());
        QCOMPARE(f.grid.pending(), std::optional<QString>("C"));

        // Visible already: only opened.
        f.state->setSelection("B2");
        f.state->setSort("oldest");
        f.state->handleOpenURL("vellora://item/B");
        QCOMPARE(f.state->selection(), QString("B2"));
        QCOMPARE(f.grid.pending(), std::optional<QString>("B"));

        // Unknown ids change nothing.
        f.state->setHueFilter(10.0);
        f.state->handleOpenURL("vellora://item/NOPE");
        QCOMPARE(f.state->selection(), QString("B2"));
        QCOMPARE(f.state->hueFilter(), std::optional<double>(10.0));
        QCOMPARE(f.grid.pending(), std::optional<QString>("B"));
    }

    void addressesOfTheOtherForms()
    {
        Fixture f;
        f.state->handleOpenURL("vellora://board/B2");
        QCOMPARE(f.state->selection(), QString("B2"));
        f.state->handleOpenURL("vellora://board/whatever");
        QCOMPARE(f.state->selection(), QString("whatever"));
        f.state->handleOpenURL("vellora://Board/B1");
        QCOMPARE(f.state->selection(), QString("whatever"));

        for (const QString &bad : {QString("vellora://add"), QString("vellora://add?url="), QString("vellora://add?url=not%20a%20link")}) {
            f.state->setAddingLink(false);
            f.state->handleOpenURL(bad);
            QVERIFY2(f.state->addingLink(), qPrintable(bad));
        }
        f.state->setAddingLink(false);
        f.state->setSelection("B2");
        f.state->handleOpenURL("vellora://add?url=example.com/page");
        QTRY_COMPARE(f.added, QStringList{"https://example.com/page -> B1"});
        QVERIFY(!f.state->addingLink());
        QCOMPARE(f.state->selection(), QString("B2"));
    }

    void commands()
    {
        Fixture f;
        f.state->newBoard();
        f.state->newBoard();
        QCOMPARE(f.store.collections().size(), 4);
        QCOMPARE(f.store.collections()[2].name, QString("Untitled board"));
        QCOMPARE(f.store.collections()[3].name, QString("Untitled board"));
        const QString newest = f.store.collections()[3].id;
        QCOMPARE(f.state->selection(), newest);
        QCOMPARE(f.state->renaming(), std::optional<QString>(newest));
        QCOMPARE(f.state->draft(), QString("Untitled board"));
        QSignalSpy focus(f.state.get(), &AppState::renameFocusRequested);
        QTRY_COMPARE(focus.size(), 2); // one per new collection

        // Losing focus commits; an empty draft keeps the name.
        f.state->setDraft("Posters");
        f.state->setRenameFocused(false);
        QVERIFY(!f.state->renaming());
        QCOMPARE(f.store.collections()[3].name, QString("Posters"));
        f.state->startRename(newest);
        f.state->setDraft("");
        f.state->commitRename();
        QCOMPARE(f.store.collections()[3].name, QString("Posters"));
        QVERIFY(!f.state->renaming());

        // Import goes into the shown collection, else the first one.
        f.state->importFiles({"/tmp/a.png", "/tmp/b.png"});
        f.state->setSelection("links");
        f.state->importFiles({"/tmp/c.png"});
        QCOMPARE(f.imported, (QStringList{"/tmp/a.png,/tmp/b.png -> " + newest, "/tmp/c.png -> B1"}));

        // Find twice: the field opens, then closes and clears the text.
        f.state->toggleSearch();
        QVERIFY(f.state->searching());
        f.state->search().setQuery("harbour");
        f.state->toggleSearch();
        QVERIFY(!f.state->searching());
        QVERIFY(f.state->search().query().isEmpty());

        f.state->newSmartFolder();
        QVERIFY(f.state->editingSmart());
        QCOMPARE(f.state->editingSmart()->match, QString("all"));
        QVERIFY(f.state->editingSmart()->name.isEmpty());
        QVERIFY(f.state->editingSmart()->rules.isEmpty());

        // Next and Previous with no grid on screen do nothing.
        f.state->showNext();
        f.state->showPrevious();
    }

    void inspectorSurvivesARestart()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath("settings.conf");
        {
            Defaults settings(file);
            LibraryStore store(dir.path(), false, settings);
            zezevaveri::ScatterGridController grid;
            AppState state(store, settings, grid);
            QVERIFY(!state.inspectorVisible());
            state.toggleInspector();
            QVERIFY(state.inspectorVisible());
            settings.sync();
        }
        Defaults settings(file);
        LibraryStore store(dir.path(), false, settings);
        zezevaveri::ScatterGridController grid;
        AppState state(store, settings, grid);
        QVERIFY(state.inspectorVisible());
    }

    void sectionsThroughTheViews_data()
    {
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("sort");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("all, newest") << "all" << "newest" << QStringList{"L", "C", "B", "A"};
        QTest::newRow("inbox is the first collection") << "inbox" << "oldest" << QStringList{"A", "L"};
        QTest::newRow("links") << "links" << "newest" << QStringList{"L"};
        QTest::newRow("trash, last trashed first") << "trash" << "keep" << QStringList{"T2", "T1"};
        QTest::newRow("collection") << "B2" << "az" << QStringList{"B", "C"};
        QTest::newRow("smart folder") << "S1" << "oldest" << QStringList{"B"};
        QTest::newRow("unknown id") << "nothing" << "newest" << QStringList{};
    }

    void sectionsThroughTheViews()
    {
        QFETCH(QString, section);
        QFETCH(QString, sort);
        QFETCH(QStringList, expected);
        Fixture f;
        f.state->setHooks(windowHooks(nullptr));
        Item link = picture("L", "B1", 4);
        link.kind = QStringLiteral("link");
        Item t1 = picture("T1", "B1", 5);
        Item t2 = picture("T2", "B1", 6);
        f.store.appendItems({link, t1, t2});
        f.store.trash({"T1"});
        QTest::qWait(5);
        f.store.trash({"T2"});
        f.store.saveSmartFolder({"S1", "Reds", "all", {Rule::colourNear("#ff0000", 20)}});
        f.state->setSelection(section);
        f.state->setSort(sort);
        QStringList got;
        for (const Item &item : f.state->visibleItems())
            got << item.id;
        QCOMPARE(got, expected);
    }

    void handoff()
    {
        Fixture f;
        QTest::ignoreMessage(QtInfoMsg, "handoff current: com.quendle.vellora.item A");
        QSignalSpy spy(f.state.get(), &AppState::handoffChanged);
        QCOMPARE(f.state->currentActivity(), (HandoffActivity{kBoardActivity, "boardID", "inbox"}));
        f.state->setOpenedId(QString("A"));
        QCOMPARE(f.state->currentActivity(), (HandoffActivity{kItemActivity, "itemID", "A"}));
        f.state->setOpenedId(std::nullopt);
        f.state->setSelection("B2");
        QCOMPARE(spy.size(), 3);
        QCOMPARE(spy.last().first().value<HandoffActivity>().value, QString("B2"));

        f.state->continueActivity(kBoardActivity, {{"boardID", "B1"}});
        QCOMPARE(f.state->selection(), QString("B1"));
        f.state->continueActivity(kBoardActivity, {{"boardID", 7}});
        f.state->continueActivity(kBoardActivity, {{"itemID", "B2"}});
        f.state->continueActivity("com.example.other", {{"boardID", "B2"}});
        QCOMPARE(f.state->selection(), QString("B1"));
        f.state->continueActivity(kItemActivity, {{"itemID", "C"}});
        QCOMPARE(f.state->selection(), QString("all"));
        QCOMPARE(f.grid.pending(), std::optional<QString>("C"));
    }
};



QTEST_MAIN(ShellStateTest)
#include "tst_shellstate.moc"
