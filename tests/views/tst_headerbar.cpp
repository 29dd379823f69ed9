#include "PanelFixtures.h"

#include "views/Glass.h"
#include "views/HeaderBar.h"
#include "views/PageTitle.h"
#include "views/WindowBackground.h"
#include "enrichment/Search.h"

#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QSignalSpy>
#include <QTest>

using namespace vellora;

class TestHeaderBar : public QObject {
    Q_OBJECT
private slots:
    void countText_data();
    void countText();
    void pageTitleShowsLoadingThenCount();
    void filterActive_data();
    void filterActive();
    void menuWritesSortHueAndSimilar();
    void emptyTrashOnlyWhileSet();
    void leadingWidgetKeepsItsOwnVisibility();
    void searchFieldFollowsSearching();
    void escapeClearsThenCloses();
    void inspectorToggleFlips();
    void screenshotSearchOpenWithColourFilter();
    void screenshotPageTitle();
};

void TestHeaderBar::countText_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("text");
    QTest::newRow("loading") << -1 << QStringLiteral("Loading library…");
    QTest::newRow("none") << 0 << QStringLiteral("0 items");
    QTest::newRow("one") << 1 << QStringLiteral("1 item");
    QTest::newRow("two") << 2 << QStringLiteral("2 items");
    QTest::newRow("many") << 10000 << QStringLiteral("10000 items");
}

void TestHeaderBar::countText()
{
    QFETCH(int, count);
    QFETCH(QString, text);
    QCOMPARE(PageTitle::countText(count < 0 ? std::nullopt : std::optional<int>(count)), text);
}

void TestHeaderBar::pageTitleShowsLoadingThenCount()
{
    PageTitle title(QStringLiteral("Inbox"), std::nullopt, true);
    QCOMPARE(title.shownCountText(), QStringLiteral("Loading library…"));
    title.setCount(1);
    QCOMPARE(title.shownCountText(), QStringLiteral("1 item"));
    title.setCount(2);
    QCOMPARE(title.shownCountText(), QStringLiteral("2 items"));
}

void TestHeaderBar::filterActive_data()
{
    QTest::addColumn<QString>("sort");
    QTest::addColumn<double>("hue"); // < 0: none
    QTest::addColumn<QString>("similar");
    QTest::addColumn<bool>("active");
    QTest::newRow("newest alone") << "newest" << -1.0 << QString() << false;
    QTest::newRow("oldest alone") << "oldest" << -1.0 << QString() << true;
    QTest::newRow("opened alone") << "opened" << -1.0 << QString() << true;
    QTest::newRow("red hue, hue zero counts") << "newest" << 0.0 << QString() << true;
    QTest::newRow("similar item") << "newest" << -1.0 << "A" << true;
}

void TestHeaderBar::filterActive()
{
    QFETCH(QString, sort);
    QFETCH(double, hue);
    QFETCH(QString, similar);
    QFETCH(bool, active);
    const std::optional<double> h = hue < 0 ? std::nullopt : std::optional<double>(hue);
    const std::optional<QString> s = similar.isEmpty() ? std::nullopt : std::optional<QString>(similar);
    QCOMPARE(HeaderBar::filterActive(sort, h, s), active);

    // The menu label lights exactly then.
    HeaderBar bar(nullptr);
    bar.setSort(sort);
    bar.setHueFilter(h);
    bar.setSimilarTo(s);
    QCOMPARE(bar.menuButton()->highlight() > 0, active);
}

// By object name, so that the menu's wording may change.
static QAction *actionNamed(QMenu *menu, const QString &name)
{
    for (QAction *action : menu->actions())
        if (action->objectName() == name)
            return action;
    return nullptr;
}

void TestHeaderBar::menuWritesSortHueAndSimilar()
{
    HeaderBar bar(nullptr);
    bar.setSimilarTo(QStringLiteral("item-1"));
    QSignalSpy sorts(&bar, &HeaderBar::sortChanged);
    QSignalSpy hues(&bar, &HeaderBar::hueFilterChanged);
    QSignalSpy similars(&bar, &HeaderBar::similarToChanged);

    std::unique_ptr<QMenu> menu(bar.buildMenu());
    // Five sort orders, Clear Similar, Any Colour and the eight swatches.
    QStringList texts;
    for (QAction *a : menu->actions())
        if (!a->text().isEmpty())
            texts << a->text();
    QCOMPARE(texts, QStringList({"Sort by", "Date added, newest first", "Date added, oldest first", "Name, A–Z",
                                 "Name, Z–A", "Most opened", "Clear Similar", "Colour", "Any Colour", "Red", "Orange",
                                 "Yellow", "Green", "Teal", "Blue", "Purple", "Pink"}));
    actionNamed(menu.get(), QStringLiteral("sortOpened"))->trigger();
    QCOMPARE(bar.sort(), QStringLiteral("opened"));
    QCOMPARE(sorts.size(), 1);
    QCOMPARE(sorts.at(0).at(0).toString(), QStringLiteral("opened"));

    actionNamed(menu.get(), QStringLiteral("hue175"))->trigger();
    QCOMPARE(bar.hueFilter(), std::optional<double>(175.0));
    QCOMPARE(hues.size(), 1);
    actionNamed(menu.get(), QStringLiteral("anyColour"))->trigger();
    QCOMPARE(bar.hueFilter(), std::nullopt);
    QCOMPARE(hues.size(), 2);

    actionNamed(menu.get(), QStringLiteral("clearSimilar"))->trigger();
    QCOMPARE(bar.similarTo(), std::nullopt);
    QCOMPARE(similars.size(), 1);

    // A new menu shows the state: Clear Similar has nothing left to clear.
    std::unique_ptr<QMenu> again(bar.buildMenu());
    QVERIFY(!actionNamed(again.get(), QStringLiteral("clearSimilar"))->isEnabled());
    QVERIFY(actionNamed(again.get(), QStringLiteral("sortOpened"))->isChecked());

    // The owner's setters do not echo back as user changes.
    bar.setSort(QStringLiteral("newest"));
    QCOMPARE(sorts.size(), 1);
}

void TestHeaderBar::emptyTrashOnlyWhileSet()
{
    HeaderBar bar(nullptr);
    bar.resize(900, 60);
    bar.show();
    QVERIFY(!bar.emptyTrashButton()->isVisible());
    int emptied = 0;
    bar.emptyTrash = [&] { ++emptied; };
    bar.refresh();
    QVERIFY(bar.emptyTrashButton()->isVisible());
    QTest::mouseClick(bar.emptyTrashButton(), Qt::LeftButton);
    QCOMPARE(emptied, 1);
    bar.emptyTrash = nullptr;
    bar.refresh();
    QVERIFY(!bar.emptyTrashButton()->isVisible());
}

// The update banner hides itself while it has nothing to say; the bar must
// not show it regardless.
void TestHeaderBar::leadingWidgetKeepsItsOwnVisibility()
{
    HeaderBar bar(nullptr);
    bar.resize(900, 60);
    auto *quiet = new QLabel(QStringLiteral("quiet"), &bar);
    quiet->hide();
    bar.setLeadingWidget(quiet);
    bar.show();
    QVERIFY(QTest::qWaitForWindowExposed(&bar));
    QVERIFY(!quiet->isVisible());
    auto *speaking = new QLabel(QStringLiteral("speaking"));
    bar.setLeadingWidget(speaking);
    QTRY_VERIFY(speaking->isVisible());
    QCOMPARE(speaking->parentWidget(), &bar);
    QVERIFY(!quiet->isVisible());
}

void TestHeaderBar::searchFieldFollowsSearching()
{
    paneltest::Library library(paneltest::document({paneltest::board("B", "Inbox")}, {}));
    Search search(*library.store);
    HeaderBar bar(&search);
    bar.resize(900, 60);
    bar.show();
    QVERIFY(!bar.searchField()->isVisible());

    // Without a toggle closure the button flips searching itself.
    QSignalSpy searching(&bar, &HeaderBar::searchingChanged);
    QTest::mouseClick(bar.searchToggle(), Qt::LeftButton);
    QVERIFY(bar.searching());
    QCOMPARE(searching.size(), 1);
    QVERIFY(bar.searchField()->isVisible());
    QCOMPARE(bar.searchCapsule()->size(), QSize(200, 36));

    // With one, the closure decides.
    int toggles = 0;
    bar.toggleSearch = [&] { ++toggles; };
    QTest::mouseClick(bar.searchToggle(), Qt::LeftButton);
    QCOMPARE(toggles, 1);
    QVERIFY(bar.searching());

    QTest::keyClicks(bar.searchField(), QStringLiteral("chair"));
    QCOMPARE(search.query(), QStringLiteral("chair"));
    search.setQuery(QStringLiteral("lamp"));
    QCOMPARE(bar.searchField()->text(), QStringLiteral("lamp"));
}

void TestHeaderBar::escapeClearsThenCloses()
{
    paneltest::Library library(paneltest::document({paneltest::board("B", "Inbox")}, {}));
    Search search(*library.store);
    HeaderBar bar(&search);
    bar.setSearching(true);
    bar.show();
    QSignalSpy searching(&bar, &HeaderBar::searchingChanged);
    QTest::keyClicks(bar.searchField(), QStringLiteral("oak"));
    QTest::keyClick(bar.searchField(), Qt::Key_Escape);
    QCOMPARE(search.query(), QString());
    QVERIFY(bar.searching());
    QTest::keyClick(bar.searchField(), Qt::Key_Escape);
    QVERIFY(!bar.searching());
    QCOMPARE(searching.size(), 1);
}

void TestHeaderBar::inspectorToggleFlips()
{
    HeaderBar bar(nullptr);
    bar.show();
    QSignalSpy spy(&bar, &HeaderBar::inspectorVisibleChanged);
    QCOMPARE(bar.inspectorToggle()->accessibleName(), QStringLiteral("Show Inspector"));
    QTest::mouseClick(bar.inspectorToggle(), Qt::LeftButton);
    QVERIFY(bar.inspectorVisible());
    QCOMPARE(spy.size(), 1);
    QCOMPARE(bar.inspectorToggle()->accessibleName(), QStringLiteral("Hide Inspector"));
}

void TestHeaderBar::screenshotSearchOpenWithColourFilter()
{
    paneltest::Library library(paneltest::document({paneltest::board("B", "Inbox")}, {}));
    Search search(*library.store);
    HeaderBar bar(&search);
    bar.resize(720, 60);
    bar.setSearching(true);
    bar.setHueFilter(0.0);
    bar.emptyTrash = [] {};
    bar.refresh();
    bar.show();
    search.setQuery(QStringLiteral("walnut chair"));
    QCoreApplication::processEvents();
    const QImage shot = paneltest::shoot(bar, QStringLiteral("headerbar-search-colour"));

    // The background is the window's grey at the far left.
    QCOMPARE(QColor(shot.pixel(5, 30)), windowBackground());
    // The search capsule: its border is lighter than the window, its text is light.
    const QRect field(bar.searchCapsule()->mapTo(&bar, QPoint(0, 0)), bar.searchCapsule()->size());
    QCOMPARE(field.height(), 36);
    QVERIFY(paneltest::brightness(shot, QRect(field.left() + 20, field.top(), 40, 1)) > qGray(windowBackground().rgb()));
    QVERIFY(paneltest::brightPixels(shot, field.adjusted(14, 8, -14, -8)) > 20);
    // The lit menu label: its 28 × 28 background is lighter than the capsule around it.
    const QRect menu(bar.menuButton()->mapTo(&bar, QPoint(0, 0)), bar.menuButton()->size());
    const QRect inspector(bar.inspectorToggle()->mapTo(&bar, QPoint(0, 0)), bar.inspectorToggle()->size());
    QVERIFY(paneltest::brightness(shot, QRect(menu.left() + 2, menu.top() + 2, 4, 4))
            > paneltest::brightness(shot, QRect(inspector.left() + 2, inspector.top() + 2, 4, 4)) + 10);
    // Empty Trash shows its text.
    const QRect trash(bar.emptyTrashButton()->mapTo(&bar, QPoint(0, 0)), bar.emptyTrashButton()->size());
    QVERIFY(paneltest::brightPixels(shot, trash.adjusted(10, 8, -10, -8)) > 20);
}

void TestHeaderBar::screenshotPageTitle()
{
    PageTitle title(QStringLiteral("Furniture"), 2, false);
    title.resize(400, 120);
    title.show();
    const QImage shot = paneltest::shoot(title, QStringLiteral("pagetitle"));
    // Bold light title below the 52-point top padding, nothing above it.
    QCOMPARE(paneltest::brightPixels(shot, QRect(0, 0, 400, 50)), 0);
    QVERIFY(paneltest::brightPixels(shot, QRect(14, 52, 300, 40)) > 100);
}

QTEST_MAIN(TestHeaderBar)
#include "tst_headerbar.moc"
