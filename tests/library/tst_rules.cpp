// Smart-folder rules against a small set of items, their summaries, and the
// palette colour test they rest on.

#include "ManualClock.h"
#include "ScopedClock.h"

#include "library/Records.h"

#include "platform/Clock.h"

#include <QTest>

#include <limits>

using namespace vellora;

Q_DECLARE_METATYPE(vellora::Rule)

namespace {

constexpr double kNow = 800000000.0;
constexpr double kDay = 86400.0;

Item item(const QString &id)
{
    Item i;
    i.id = id;
    i.kind = "image";
    i.originalFilename = id + ".png";
    i.dateAdded = kNow - 100.0;
    return i;
}

// The items every rule is tried against; each row names the ones it matches.
QList<Item> items()
{
    QList<Item> out;

    Item untagged = item("untagged"); // tags key absent
    out << untagged;

    Item emptyTags = item("emptyTags");
    emptyTags.tags = QStringList();
    out << emptyTags;

    Item emptyTag = item("emptyTag");
    emptyTag.tags = QStringList{""};
    out << emptyTag;

    Item red = item("red");
    red.tags = QStringList{"RED", "Poster"};
    red.palette = QStringList{"#f00a0a", "#101010"}; // hue ~360, and a dark one
    red.labels = QStringList{"Café Menu", "table"};
    red.openCount = 3;
    out << red;

    Item blue = item("blue");
    blue.tags = QStringList{"a"};
    blue.palette = QStringList{"#2040ff"}; // hue ~230
    blue.ocrText = QString::fromUtf8("Grand CAFÉ opening");
    blue.openCount = 1;
    out << blue;

    Item link = item("link");
    link.kind = "link";
    link.originalFilename = "news.example.com";
    link.sourceURL = "https://www.news.example.com/story";
    link.title = "A story about cafés";
    link.summary = "Résumé";
    link.dateAdded = kNow - 7 * kDay; // exactly a week ago
    out << link;

    Item older = item("older");
    older.kind = "link";
    older.sourceURL = "https://myexample.com/";
    older.dateAdded = kNow - 7 * kDay - 1.0;
    older.palette = QStringList{"#8a0f7f"}; // hue ~305, a magenta
    out << older;

    Item future = item("future");
    future.dateAdded = kNow + 5.0;
    future.palette = QStringList{"#aaaaaa", "#ff3010"}; // grey, then a red-orange (hue ~7)
    out << future;

    return out;
}

QStringList matching(const Rule &rule)
{
    QStringList ids;
    for (const Item &i : items())
        if (rule.matches(i))
            ids << i.id;
    return ids;
}

const QStringList kAll = {"untagged", "emptyTags", "emptyTag", "red", "blue", "link", "older", "future"};

} // namespace

class TestRules : public QObject {
    Q_OBJECT
private slots:
    void matches_data();
    void matches();
    void folderMembership();
    void domainSuffixKeepsHostCase();
    void summaries_data();
    void summaries();
    void colourHue_data();
    void colourHue();
    void paletteMatchesHue_data();
    void paletteMatchesHue();
    void hexIntegers_data();
    void hexIntegers();

private:
    ManualClock m_clock{kNow};
    ScopedClock m_scope{&m_clock};
};

void TestRules::matches_data()
{
    QTest::addColumn<Rule>("rule");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("kind image") << Rule::kind("image")
                                << QStringList{"untagged", "emptyTags", "emptyTag", "red", "blue", "future"};
    QTest::newRow("kind is case-sensitive") << Rule::kind("Link") << QStringList{};

    QTest::newRow("tagsAny mixed case") << Rule::tagsAny({"Red", "bLuE"}) << QStringList{"red"};
    QTest::newRow("tagsAny several") << Rule::tagsAny({"poster", "A"}) << QStringList{"red", "blue"};
    QTest::newRow("tagsAny no tags") << Rule::tagsAny({}) << QStringList{};
    QTest::newRow("tagsAny the empty tag") << Rule::tagsAny({""}) << QStringList{"emptyTag"};
    QTest::newRow("tagsAll no tags") << Rule::tagsAll({}) << kAll;
    QTest::newRow("tagsAll both") << Rule::tagsAll({"poster", "red"}) << QStringList{"red"};
    QTest::newRow("tagsAll one missing") << Rule::tagsAll({"poster", "blue"}) << QStringList{};
    QTest::newRow("tagsAll duplicates by case") << Rule::tagsAll({"a", "A"}) << QStringList{"blue"};
    QTest::newRow("noTags") << Rule::noTags()
                            << QStringList{"untagged", "emptyTags", "link", "older", "future"};

    QTest::newRow("labelContains case and accents") << Rule::labelContains("cafe") << QStringList{"red"};
    QTest::newRow("labelContains inner text") << Rule::labelContains("ABL") << QStringList{"red"};
    QTest::newRow("labelContains empty") << Rule::labelContains("") << QStringList{};
    QTest::newRow("textContains CAFE") << Rule::textContains("CAFE") << QStringList{"blue", "link"};
    QTest::newRow("textContains file name") << Rule::textContains("UNTAGGED.PNG") << QStringList{"untagged"};
    QTest::newRow("textContains summary") << Rule::textContains("resume") << QStringList{"link"};

    QTest::newRow("domainIs other case") << Rule::domainIs("news.example.COM") << QStringList{"link"};
    QTest::newRow("domainIs parent domain") << Rule::domainIs("Example.com") << QStringList{"link"};
    QTest::newRow("domainIs not a longer label") << Rule::domainIs("example.com") << QStringList{"link"}; // not myexample.com
    QTest::newRow("domainIs end of a label") << Rule::domainIs("ample.com") << QStringList{};
    QTest::newRow("domainIs www is not part of the host") << Rule::domainIs("www.news.example.com") << QStringList{};

    QTest::newRow("addedWithinDays 7 boundary") << Rule::addedWithinDays(7)
                                                << QStringList{"untagged", "emptyTags", "emptyTag", "red", "blue",
                                                               "link", "future"};
    QTest::newRow("addedWithinDays 0") << Rule::addedWithinDays(0) << QStringList{"future"};
    QTest::newRow("addedWithinDays negative") << Rule::addedWithinDays(-1) << QStringList{};

    QTest::newRow("colourNear red across 0/360") << Rule::colourNear("#ff0000", 5) << QStringList{"red"};
    QTest::newRow("colourNear wide red") << Rule::colourNear("#FF0000", 10) << QStringList{"red", "future"};
    QTest::newRow("colourNear from magenta across 360")
        << Rule::colourNear("#ff00ff", 60) << QStringList{"red", "older"};
    QTest::newRow("colourNear blue") << Rule::colourNear("#0000ff", 15) << QStringList{"blue"};
    QTest::newRow("colourNear without #") << Rule::colourNear("0000ff", 15) << QStringList{"blue"};
    QTest::newRow("colourNear empty colour is hue 0") << Rule::colourNear("", 9) << QStringList{"red", "future"};
    QTest::newRow("colourNear nonsense is hue 0") << Rule::colourNear("#zz", 1) << QStringList{"red"};

    QTest::newRow("openedAtLeast 0") << Rule::openedAtLeast(0) << kAll;
    QTest::newRow("openedAtLeast 1") << Rule::openedAtLeast(1) << QStringList{"red", "blue"};
    QTest::newRow("openedAtLeast 3") << Rule::openedAtLeast(3) << QStringList{"red"};
}

void TestRules::matches()
{
    QFETCH(Rule, rule);
    QFETCH(QStringList, expected);
    QCOMPARE(matching(rule), expected);
}

void TestRules::folderMembership()
{
    const auto members = [](const SmartFolder &f) {
        QStringList ids;
        for (const Item &i : items())
            if (f.matches(i))
                ids << i.id;
        return ids;
    };
    SmartFolder f;
    f.match = "any";
    QCOMPARE(members(f), QStringList{});
    QCOMPARE(f.summary(), QString("No rules yet"));

    f.rules = {Rule::kind("link"), Rule::openedAtLeast(3)};
    QCOMPARE(members(f), QStringList({"red", "link", "older"}));
    f.match = "all";
    QCOMPARE(members(f), QStringList{});
    f.rules = {Rule::kind("link"), Rule::addedWithinDays(7)};
    QCOMPARE(members(f), QStringList{"link"});
    // Only the exact lower-case "any" combines with or.
    f.rules = {Rule::kind("link"), Rule::openedAtLeast(3)};
    f.match = "ANY";
    QCOMPARE(members(f), QStringList{});
    f.match = "";
    QCOMPARE(members(f), QStringList{});

    // The present moment is read on every test, not once.
    const Rule week = Rule::addedWithinDays(7);
    Item link = items()[5];
    QVERIFY(week.matches(link));
    m_clock.advance(1.0);
    QVERIFY(!week.matches(link));
    m_clock.set(kNow);
}

// Equality ignores case, but the parent-domain test compares the host as
// written with the lower-cased rule text.
void TestRules::domainSuffixKeepsHostCase()
{
    Item shouty = item("shouty");
    shouty.sourceURL = "https://Shop.Example.COM/";
    QVERIFY(Rule::domainIs("shop.example.com").matches(shouty));
    QVERIFY(!Rule::domainIs("example.com").matches(shouty));
    QVERIFY(!Rule::domainIs("Example.COM").matches(shouty));
    shouty.sourceURL = "https://shop.example.com/";
    QVERIFY(Rule::domainIs("Example.COM").matches(shouty));
    // Without an address the host is empty, and only an empty rule text equals it.
    QVERIFY(!Rule::domainIs("example.com").matches(item("plain")));
}

void TestRules::summaries_data()
{
    QTest::addColumn<QList<Rule>>("rules");
    QTest::addColumn<QString>("match");
    QTest::addColumn<QString>("summary");

    const auto one = [](const Rule &r) { return QList<Rule>{r}; };
    QTest::newRow("links") << one(Rule::kind("link")) << "all" << "Items links";
    QTest::newRow("images") << one(Rule::kind("Link")) << "all" << "Items images";
    QTest::newRow("tags either") << one(Rule::tagsAny({"Red", "blue", "green"})) << "all"
                                 << "Items tagged Red, blue, or green";
    QTest::newRow("tags and") << one(Rule::tagsAll({"a", "B"})) << "all" << "Items tagged a and B";
    QTest::newRow("one tag") << one(Rule::tagsAny({"solo"})) << "all" << "Items tagged solo";
    QTest::newRow("no tags") << one(Rule::noTags()) << "all" << "Items with no tags";
    QTest::newRow("label") << one(Rule::labelContains("sky")) << "all" << QString::fromUtf8("Items showing “sky”");
    QTest::newRow("text") << one(Rule::textContains("menu")) << "all" << QString::fromUtf8("Items mentioning “menu”");
    QTest::newRow("domain") << one(Rule::domainIs("dribbble.com")) << "all" << "Items from dribbble.com";
    QTest::newRow("one day") << one(Rule::addedWithinDays(1)) << "all" << "Items added in the last 1 day";
    QTest::newRow("days") << one(Rule::addedWithinDays(30)) << "all" << "Items added in the last 30 days";
    QTest::newRow("zero days") << one(Rule::addedWithinDays(0)) << "all" << "Items added in the last 0 days";
    QTest::newRow("colour") << one(Rule::colourNear("#C8A070", 30)) << "all" << "Items with colours near #C8A070";
    QTest::newRow("opened") << one(Rule::openedAtLeast(2)) << "all" << QString::fromUtf8("Items opened at least 2×");
    QTest::newRow("and-list") << QList<Rule>{Rule::addedWithinDays(1), Rule::openedAtLeast(2)} << "all"
                              << QString::fromUtf8("Items added in the last 1 day and opened at least 2×");
    QTest::newRow("or-list") << QList<Rule>{Rule::kind("link"), Rule::noTags(), Rule::domainIs("a.b")} << "any"
                             << "Items links, with no tags, or from a.b";
    QTest::newRow("upper-case ANY joins with and") << QList<Rule>{Rule::kind("link"), Rule::noTags()} << "ANY"
                                                   << "Items links and with no tags";
    QTest::newRow("no rules") << QList<Rule>{} << "all" << "No rules yet";
}

void TestRules::summaries()
{
    QFETCH(QList<Rule>, rules);
    QFETCH(QString, match);
    QFETCH(QString, summary);
    SmartFolder f;
    f.match = match;
    f.rules = rules;
    QCOMPARE(f.summary(), summary);
}

void TestRules::colourHue_data()
{
    QTest::addColumn<QString>("colour");
    QTest::addColumn<double>("hue");

    QTest::newRow("red") << "#ff0000" << 0.0;
    QTest::newRow("green") << "#00FF00" << 120.0;
    QTest::newRow("blue") << "#0000ff" << 240.0;
    QTest::newRow("without #") << "0000ff" << 240.0;
    QTest::newRow("magenta") << "#ff00ff" << 300.0;
    QTest::newRow("grey") << "#808080" << 0.0;
    QTest::newRow("empty") << "" << 0.0;
    QTest::newRow("only #") << "#" << 0.0;
    QTest::newRow("not hex") << "#12345g" << 0.0;
    QTest::newRow("warm tone") << "#C8A070" << 360.0 * ((160.0 - 112.0) / (200.0 - 112.0)) / 6.0;
}

void TestRules::colourHue()
{
    QFETCH(QString, colour);
    QFETCH(double, hue);
    QCOMPARE(colourHueDegrees(colour), hue);
}

void TestRules::paletteMatchesHue_data()
{
    QTest::addColumn<QStringList>("palette");
    QTest::addColumn<double>("hue");
    QTest::addColumn<double>("tolerance");
    QTest::addColumn<bool>("matches");

    QTest::newRow("empty palette") << QStringList{} << 0.0 << 360.0 << false;
    QTest::newRow("exact hue") << QStringList{"#0000ff"} << 240.0 << 0.0 << true;
    QTest::newRow("350 against 10 is 20 apart") << QStringList{"#f00028"} << 10.0 << 20.0 << true;
    QTest::newRow("350 against 10 not within 19") << QStringList{"#f00028"} << 10.0 << 19.9 << false;
    QTest::newRow("distance equal to tolerance") << QStringList{"#00ff00"} << 90.0 << 30.0 << true;
    QTest::newRow("just outside") << QStringList{"#00ff00"} << 90.0 << 29.999 << false;
    QTest::newRow("hue beyond 360 wraps") << QStringList{"#ff0000"} << 720.0 << 0.0 << true;
    QTest::newRow("negative hue wraps") << QStringList{"#0000ff"} << -120.0 << 0.0 << true;
    QTest::newRow("grey never matches") << QStringList{"#808080"} << 0.0 << 360.0 << false;
    QTest::newRow("saturation at 0.25 is too grey") << QStringList{"#c89696"} << 0.0 << 360.0 << false;
    QTest::newRow("saturation above 0.25") << QStringList{"#c89595"} << 0.0 << 1.0 << true;
    QTest::newRow("brightness at 0.2 is too dark") << QStringList{"#330000"} << 0.0 << 360.0 << false;
    QTest::newRow("brightness above 0.2") << QStringList{"#340000"} << 0.0 << 1.0 << true;
    QTest::newRow("unparsed entry is black") << QStringList{"#nothex"} << 0.0 << 360.0 << false;
    QTest::newRow("empty entry") << QStringList{""} << 0.0 << 360.0 << false;
    QTest::newRow("first character dropped whatever it is") << QStringList{"x0000ff"} << 240.0 << 0.0 << true;
    QTest::newRow("without # loses a digit") << QStringList{"0000ff"} << 240.0 << 1.0 << true; // reads 000ff
    QTest::newRow("upper-case digits") << QStringList{"#00FF00"} << 120.0 << 0.0 << true;
    QTest::newRow("later colour matches") << QStringList{"#808080", "#101010", "#ff0000"} << 0.0 << 0.0 << true;
    QTest::newRow("negative number keeps its low bits") << QStringList{"#-1"} << 0.0 << 360.0 << false; // white
    QTest::newRow("overflow reads as black") << QStringList{"#ff0000ff0000ff0000"} << 0.0 << 360.0 << false;
    QTest::newRow("high bits ignored") << QStringList{"#7f0000ff"} << 240.0 << 0.0 << true;
    QTest::newRow("NaN tolerance") << QStringList{"#ff0000"} << 0.0 << std::numeric_limits<double>::quiet_NaN()
                                   << false;
}

void TestRules::paletteMatchesHue()
{
    QFETCH(QStringList, palette);
    QFETCH(double, hue);
    QFETCH(double, tolerance);
    QFETCH(bool, matches);
    QCOMPARE(vellora::paletteMatchesHue(palette, hue, tolerance), matches);
}

void TestRules::hexIntegers_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("value");

    QTest::newRow("digits") << "ff" << qint64(255);
    QTest::newRow("mixed case") << "aBc" << qint64(0xabc);
    QTest::newRow("plus") << "+10" << qint64(16);
    QTest::newRow("minus") << "-10" << qint64(-16);
    QTest::newRow("sign alone") << "-" << qint64(0);
    QTest::newRow("empty") << "" << qint64(0);
    QTest::newRow("prefix not allowed") << "0x10" << qint64(0);
    QTest::newRow("space") << " 1" << qint64(0);
    QTest::newRow("largest") << "7fffffffffffffff" << std::numeric_limits<qint64>::max();
    QTest::newRow("smallest") << "-8000000000000000" << std::numeric_limits<qint64>::min();
    QTest::newRow("overflow") << "8000000000000000" << qint64(0);
    QTest::newRow("fullwidth digit") << QString::fromUtf8("１") << qint64(0);
}

void TestRules::hexIntegers()
{
    QFETCH(QString, text);
    QFETCH(qint64, value);
    QCOMPARE(parseHexInteger(text), value);
}

QTEST_GUILESS_MAIN(TestRules)
#include "tst_rules.moc"
