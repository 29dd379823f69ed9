// What the content column shows, as tables over one small library.
#include "app/VisibleItems.h"

#include "ItemFixtures.h"

#include <QtTest>

using namespace vellora;
using apptest::imageItem;

namespace {

// The section as the store yields it: its order is the tie-breaker of every
// stable sort below.
QList<Item> fixtureSection()
{
    QList<Item> items;
    Item a = imageItem("A", "img10.png", 100);
    a.palette = QStringList{"#ff2a00"}; // hue 10, saturated, bright
    a.ocrText = QStringLiteral("Café menu");
    a.openCount = 1;
    a.lastOpenedAt = 50;
    Item b = imageItem("B", "img2.png", 300);
    b.palette = QStringList{"#ff5500"}; // hue 20
    b.tags = QStringList{"poster"};
    b.openCount = 2;
    b.lastOpenedAt = 10;
    Item c = imageItem("C", "Banner.jpg", 200);
    c.palette = QStringList{"#808080", "#ff0015"}; // grey, then hue 355
    c.labels = QStringList{"text"};
    c.openCount = 1;
    c.lastOpenedAt = 70;
    Item d = imageItem("D", "zebra.png", 200); // same date as C
    d.palette = QStringList{"#330a00", "#e0c8c0"}; // too dark, too pale
    Item e = imageItem("E", "apple.gif", 50);
    e.kind = QStringLiteral("link");
    e.title = QStringLiteral("Poster archive");
    e.sourceURL = QStringLiteral("https://www.posters.example/x");
    e.palette = QStringList{"not a colour", ""};
    items << a << b << c << d << e;
    return items;
}

QStringList ids(const QList<Item> &items)
{
    QStringList out;
    for (const Item &i : items)
        out << i.id;
    return out;
}

// "A:3,B:1" -> {A: 3, B: 1}
QHash<QString, int> scores(const QString &text)
{
    QHash<QString, int> out;
    for (const QString &pair : text.split(u',', Qt::SkipEmptyParts))
        out.insert(pair.section(u':', 0, 0), pair.section(u':', 1).toInt());
    return out;
}

} // namespace

class VisibleItemsTest : public QObject {
    Q_OBJECT

private slots:
    void filterAndOrder_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<QString>("ranked"); // "-" for none
        QTest::addColumn<double>("hue");     // < 0 for none
        QTest::addColumn<QString>("similar"); // "-" for off, else "id:distance,..."
        QTest::addColumn<QString>("sort");
        QTest::addColumn<QStringList>("expected");

        const QStringList section{"A", "B", "C", "D", "E"};
        QTest::newRow("newest, equal dates keep section order") << "" << "-" << -1.0 << "-" << "newest" << QStringList{"B", "C", "D", "A", "E"};
        QTest::newRow("oldest, equal dates keep section order") << "" << "-" << -1.0 << "-" << "oldest" << QStringList{"E", "A", "C", "D", "B"};
        QTest::newRow("az: digit runs by value, case ignored") << "" << "-" << -1.0 << "-" << "az" << QStringList{"E", "C", "B", "A", "D"};
        QTest::newRow("za") << "" << "-" << -1.0 << "-" << "za" << QStringList{"D", "A", "B", "C", "E"};
        QTest::newRow("opened: count, then most recent, never opened last") << "" << "-" << -1.0 << "-" << "opened" << QStringList{"B", "C", "A", "D", "E"};
        QTest::newRow("unknown sort keeps the section order") << "" << "-" << -1.0 << "-" << "random" << section;
        QTest::newRow("text ignores case and accents") << "CAFE" << "-" << -1.0 << "-" << "newest" << QStringList{"A"};
        QTest::newRow("text finds tags, titles and hosts") << "poster" << "-" << -1.0 << "-" << "oldest" << QStringList{"E", "B"};
        QTest::newRow("query is not trimmed") << "poster " << "-" << -1.0 << "-" << "newest" << QStringList{"E"};
        QTest::newRow("no match") << "nothing like it" << "-" << -1.0 << "-" << "newest" << QStringList{};
        QTest::newRow("hue 350 finds 10 and 355, not 20") << "" << "-" << 350.0 << "-" << "oldest" << QStringList{"A", "C"};
        QTest::newRow("hue 15 finds 10, 20 and 355") << "" << "-" << 15.0 << "-" << "oldest" << QStringList{"A", "C", "B"};
        QTest::newRow("hue 44 finds only 20") << "" << "-" << 44.0 << "-" << "oldest" << QStringList{"B"};
        QTest::newRow("grey, dark, pale and bad entries never match") << "" << "-" << 0.0 << "-" << "oldest" << QStringList{"A", "C", "B"};
        QTest::newRow("query and hue together") << "text" << "-" << 0.0 << "-" << "newest" << QStringList{"C"};
        QTest::newRow("ranked wins over hue, sort and query, ties in section order")
            << "zzz" << "E:1,B:3,A:1" << 200.0 << "D:0" << "az" << QStringList{"B", "A", "E"};
        QTest::newRow("empty ranking is no ranking") << "" << "" << -1.0 << "-" << "newest" << QStringList{"B", "C", "D", "A", "E"};
        QTest::newRow("similar: by distance, unprinted last in their order, sort unused")
            << "" << "-" << -1.0 << "C:0.5,A:0.1,E:0.9" << "az" << QStringList{"A", "C", "E", "B", "D"};
        QTest::newRow("similar after the text filter") << "poster" << "-" << -1.0 << "E:0.9,B:0.2" << "oldest" << QStringList{"B", "E"};
    }

    void filterAndOrder()
    {
        QFETCH(QString, query);
        QFETCH(QString, ranked);
        QFETCH(double, hue);
        QFETCH(QString, similar);
        QFETCH(QString, sort);
        QFETCH(QStringList, expected);

        VisibleFilter filter;
        filter.query = query;
        if (ranked != QLatin1String("-"))
            filter.ranked = scores(ranked);
        if (hue >= 0)
            filter.hueFilter = hue;
        if (similar != QLatin1String("-")) {
            QHash<QString, float> table;
            for (const QString &pair : similar.split(u',', Qt::SkipEmptyParts))
                table.insert(pair.section(u':', 0, 0), pair.section(u':', 1).toFloat());
            filter.similar = [table](const QString &id) -> std::optional<float> {
                const auto it = table.constFind(id);
                return it == table.cend() ? std::nullopt : std::optional<float>(*it);
            };
        }
        filter.sort = sort;
        const QList<Item> section = fixtureSection();
        QCOMPARE(ids(filteredSortedItems(section, filter)), expected);
        // The cache changes nothing, also on a second call.
        SearchKeyCache cache;
        QCOMPARE(ids(filteredSortedItems(section, filter, &cache)), expected);
        QCOMPARE(ids(filteredSortedItems(section, filter, &cache)), expected);
    }

    void cacheFollowsEditedText()
    {
        QList<Item> section = fixtureSection();
        SearchKeyCache cache;
        VisibleFilter filter;
        filter.query = QStringLiteral("sunset");
        QVERIFY(filteredSortedItems(section, filter, &cache).isEmpty());
        section[3].ocrText = QStringLiteral("Sunset boulevard");
        QCOMPARE(ids(filteredSortedItems(section, filter, &cache)), QStringList{"D"});
        section[3].ocrText.reset();
        section[3].tags = QStringList{"sunset"};
        QCOMPARE(ids(filteredSortedItems(section, filter, &cache)), QStringList{"D"});
        section[3].tags = QStringList{"dawn"};
        QVERIFY(filteredSortedItems(section, filter, &cache).isEmpty());
    }

    void titles_data()
    {
        QTest::addColumn<QString>("selection");
        QTest::addColumn<QString>("title");
        QTest::newRow("built-in") << "links" << "Links";
        QTest::newRow("built-in wins over a collection id") << "trash" << "Trash";
        QTest::newRow("collection") << "B1" << "Moodboard";
        QTest::newRow("collection before smart folder") << "X" << "Board X";
        QTest::newRow("smart folder") << "S1" << "Warm";
        QTest::newRow("case-sensitive") << "All" << "";
        QTest::newRow("unknown") << "nope" << "";
    }

    void titles()
    {
        QFETCH(QString, selection);
        QFETCH(QString, title);
        QList<Board> boards{{"B1", "Moodboard", 0, {}, {}, {}}, {"X", "Board X", 0, {}, {}, {}}, {"trash", "Mine", 0, {}, {}, {}}};
        SmartFolder warm{"S1", "Warm", "all", {}};
        SmartFolder x{"X", "Folder X", "all", {}};
        QCOMPARE(selectionTitle(selection, boards, {warm, x}), title);
    }

    void tablesOfTheHeaderBar()
    {
        QStringList sections, labels;
        for (const auto &s : builtInSections())
            sections << s.id + "=" + s.title;
        for (const auto &o : sortOrders())
            labels << o.value + "=" + o.label;
        QCOMPARE(sections, (QStringList{"all=All", "inbox=Inbox", "links=Links", "trash=Trash"}));
        QCOMPARE(labels, (QStringList{"newest=Date added, newest first", "oldest=Date added, oldest first",
                                      QString::fromUtf8("az=Name, A\u2013Z"), QString::fromUtf8("za=Name, Z\u2013A"),
                                      "opened=Most opened"}));
    }
};

QTEST_GUILESS_MAIN(VisibleItemsTest)
#include "tst_visibleitems.moc"
