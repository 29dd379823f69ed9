#include "PanelFixtures.h"

#include "views/Inspector.h"
#include "views/TagEdits.h"
#include "views/WindowBackground.h"
#include "library/Rule.h"
#include "platform/LanguageModel.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

using namespace vellora;

namespace {
Item chairItem()
{
    Item chair = paneltest::image(QStringLiteral("chair"), {"inbox", "furniture"});
    chair.originalFilename = QStringLiteral("lounge-chair.jpg");
    chair.palette = QStringList{"#C8A070", "#2050C0", "#303030"};
    chair.labels = QStringList{"chair", "wood", "indoor"};
    chair.ocrText = QStringLiteral("Walnut lounge chair, model 670");
    chair.tags = QStringList{"chair", "walnut"};
    chair.openCount = 3;
    chair.lastOpenedAt = now() - 60;
    return chair;
}

Item deskItem()
{
    Item desk = paneltest::image(QStringLiteral("desk"), {"furniture"});
    desk.tags = QStringList{"walnut", "desk"};
    return desk;
}

Item linkItem()
{
    Item link = paneltest::link(QStringLiteral("page"), QStringLiteral("https://shop.example.com/lamps/arc"), {"inbox"});
    link.title = QStringLiteral("Arc floor lamp");
    link.siteName = QStringLiteral("Example Shop");
    link.faviconFilename = QStringLiteral("page.png");
    LinkInsight insight;
    insight.summary = QStringLiteral("A brass arc lamp with a marble base, sold in two heights.");
    insight.keyPoints = QStringList{"Brass and marble", "Dimmable LED"};
    insight.category = QStringLiteral("Product");
    insight.entities.productName = QStringLiteral("Arc");
    insight.entities.price = QStringLiteral("€420");
    link.insight = insight;
    return link;
}

LibraryFile library()
{
    return paneltest::document({paneltest::board("inbox", "Inbox"), paneltest::board("furniture", "Furniture"),
                                paneltest::board("lighting", "Lighting")},
                               {chairItem(), deskItem(), linkItem()});
}

// The chair's thumbnail: warm left half, blue right half.
void writePictures(const QString &root)
{
    QImage thumb(400, 300, QImage::Format_RGB32);
    thumb.fill(QColor(200, 160, 112));
    for (int y = 0; y < 300; ++y)
        for (int x = 200; x < 400; ++x)
            thumb.setPixel(x, y, qRgb(32, 80, 192));
    QDir().mkpath(root + QStringLiteral("/thumbnails"));
    QDir().mkpath(root + QStringLiteral("/favicons"));
    QVERIFY(thumb.save(root + QStringLiteral("/thumbnails/chair.jpg"), "JPEG", 95));
    QImage page(400, 250, QImage::Format_RGB32);
    page.fill(QColor(230, 230, 225));
    QVERIFY(page.save(root + QStringLiteral("/thumbnails/page.jpg"), "JPEG", 95));
    QImage icon(32, 32, QImage::Format_RGB32);
    icon.fill(QColor(220, 40, 40));
    QVERIFY(icon.save(root + QStringLiteral("/favicons/page.png")));
}

QRect areaOf(QWidget *child, QWidget *top) { return QRect(child->mapTo(top, QPoint(0, 0)), child->size()); }
} // namespace

class TestInspector : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { Defaults::standard().remove(QString::fromLatin1(kLanguageModelURLKey)); }
    void parseEntry_data();
    void parseEntry();
    void sharedValues();
    void screenshotImage();
    void swatchAsksForItsHue();
    void tagsAddedAndRemoved();
    void suggestionsWithoutModelAreTheLabels();
    void collectionsToggle();
    void severalPickedEditTogether();
    void screenshotLinkWithInsight();
    void countFollowsTheSearchWithoutRebuilding();
};

void TestInspector::parseEntry_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QStringList>("tags");
    QTest::newRow("one") << "Oak" << QStringList{"oak"};
    QTest::newRow("commas, blanks, case") << " Desk , ,Oak Wood ,  " << QStringList{"desk", "oak wood"};
    QTest::newRow("repeats once") << "a, A ,a" << QStringList{"a"};
    QTest::newRow("only commas") << " , ," << QStringList{};
}

void TestInspector::parseEntry()
{
    QFETCH(QString, entry);
    QFETCH(QStringList, tags);
    QCOMPARE(parseTagEntry(entry), tags);
}

void TestInspector::sharedValues()
{
    const QList<Item> both{chairItem(), deskItem()};
    QCOMPARE(sharedTags(both), QStringList{"walnut"});
    QCOMPARE(sharedCollections(both), QStringList{"furniture"});
    // Tags are shared whatever their case, collection ids only when equal.
    Item shouting = deskItem();
    shouting.tags = QStringList{"WALNUT", "Chair"};
    shouting.collectionIds = {"Furniture", "inbox"};
    QCOMPARE(sharedTags({chairItem(), shouting}), (QStringList{"chair", "walnut"}));
    QCOMPARE(sharedCollections({chairItem(), shouting}), QStringList{"inbox"});
    QCOMPARE(sharedTags({}), QStringList());
    QCOMPARE(anyCollections(both), (QStringList{"inbox", "furniture"}));
    QCOMPARE(withTagsAdded({"a", "B"}, {"b", "c"}), (QStringList{"a", "B", "c"}));
    QCOMPARE(withTagsRemoved({"a", "B"}, {"b"}), QStringList{"a"});
}

void TestInspector::screenshotImage()
{
    paneltest::Library lib(library());
    writePictures(lib.root());
    Inspector inspector(*lib.store);
    inspector.resize(Inspector::kWidth, 980);
    inspector.setTitle(QStringLiteral("Furniture"));
    inspector.setCreated(now() - 86400);
    inspector.setShown({chairItem(), deskItem()});
    inspector.setPicked({QStringLiteral("chair")});
    inspector.show();
    QTRY_VERIFY(inspector.picture() && inspector.picture()->hasImage());
    QCOMPARE(inspector.width(), 302);
    QCOMPARE(inspector.sectionTitleLabel()->text(), QStringLiteral("Furniture"));
    QCOMPARE(inspector.sectionCountLabel()->text(), QStringLiteral("2 items"));
    QCOMPARE(inspector.labelCloud()->texts(), (QStringList{"chair", "wood", "indoor"}));
    QCOMPARE(inspector.tagCloud()->texts(), (QStringList{"chair", "walnut"}));
    QVERIFY(inspector.textView()->textInteractionFlags() & Qt::TextSelectableByMouse);
    QVERIFY(inspector.collectionBox("furniture")->isChecked());
    QVERIFY(!inspector.collectionBox("lighting")->isChecked());
    QVERIFY(!inspector.insightCard());

    const QImage shot = paneltest::shoot(inspector, QStringLiteral("inspector-image"));
    QCOMPARE(QColor(shot.pixel(3, shot.height() - 3)), windowBackground());
    const QRect picture = areaOf(inspector.picture(), &inspector);
    QVERIFY(paneltest::hasColour(shot, picture.adjusted(0, 0, -picture.width() / 2, 0), QColor(200, 160, 112), 20));
    QVERIFY(paneltest::hasColour(shot, picture.adjusted(picture.width() / 2, 0, 0, 0), QColor(32, 80, 192), 20));
    const QRect swatches = areaOf(inspector.swatches(), &inspector);
    QVERIFY(paneltest::hasColour(shot, swatches, QColor(0xC8, 0xA0, 0x70), 6));
    QVERIFY(paneltest::hasColour(shot, swatches, QColor(0x20, 0x50, 0xC0), 6));
    QVERIFY(paneltest::brightPixels(shot, areaOf(inspector.textView(), &inspector), 150) > 20);
}

void TestInspector::swatchAsksForItsHue()
{
    paneltest::Library lib(library());
    Inspector inspector(*lib.store);
    inspector.setPicked({QStringLiteral("chair")});
    inspector.resize(302, 900);
    inspector.show();
    QSignalSpy spy(&inspector, &Inspector::colourPicked);
    QTest::mouseClick(inspector.swatches(), Qt::LeftButton, {}, inspector.swatches()->swatchRect(1).center());
    QCOMPARE(spy.size(), 1);
    QCOMPARE(spy.at(0).at(0).toDouble(), colourHueDegrees(QStringLiteral("#2050C0")));
}

void TestInspector::tagsAddedAndRemoved()
{
    paneltest::Library lib(library());
    Inspector inspector(*lib.store);
    inspector.setPicked({QStringLiteral("chair")});
    inspector.resize(302, 900);
    inspector.show();
    QTest::keyClicks(inspector.tagField(), QStringLiteral("Desk, Oak Wood ,walnut,"));
    QTest::keyClick(inspector.tagField(), Qt::Key_Return);
    QCOMPARE(lib.store->item("chair")->tags, (QStringList{"chair", "walnut", "desk", "oak wood"}));
    QVERIFY(lib.store->savePending());
    QCOMPARE(inspector.tagCloud()->texts(), (QStringList{"chair", "walnut", "desk", "oak wood"}));
    QCOMPARE(inspector.tagField()->text(), QString());

    QTest::mouseClick(inspector.tagCloud(), Qt::LeftButton, {}, inspector.tagCloud()->removeRect(1).center());
    QCOMPARE(lib.store->item("chair")->tags, (QStringList{"chair", "desk", "oak wood"}));
    // A click on the pill itself (not its mark) removes nothing.
    QTest::mouseClick(inspector.tagCloud(), Qt::LeftButton, {}, inspector.tagCloud()->pillRect(0).topLeft() + QPoint(6, 6));
    QCOMPARE(lib.store->item("chair")->tags->size(), 3);
}

void TestInspector::suggestionsWithoutModelAreTheLabels()
{
    paneltest::Library lib(library());
    Inspector inspector(*lib.store);
    inspector.setPicked({QStringLiteral("chair")});
    inspector.resize(302, 900);
    inspector.show();
    QVERIFY(!inspector.suggestionCloud());
    QTest::mouseClick(inspector.suggestButton(), Qt::LeftButton);
    // Without a model the suggestions are the labels; tags already there are not offered.
    QTRY_VERIFY(inspector.suggestionCloud());
    QCOMPARE(inspector.suggestionCloud()->texts(), (QStringList{"wood", "indoor"}));
    QTest::mouseClick(inspector.suggestionCloud(), Qt::LeftButton, {}, inspector.suggestionCloud()->pillRect(0).center());
    QCOMPARE(lib.store->item("chair")->tags, (QStringList{"chair", "walnut", "wood"}));
    QCOMPARE(inspector.suggestionCloud()->texts(), QStringList{"indoor"});
}

void TestInspector::collectionsToggle()
{
    paneltest::Library lib(library());
    Inspector inspector(*lib.store);
    inspector.setPicked({QStringLiteral("chair")});
    inspector.resize(302, 900);
    inspector.show();
    inspector.collectionBox("lighting")->click();
    QCOMPARE(lib.store->item("chair")->collectionIds, (QStringList{"inbox", "furniture", "lighting"}));
    inspector.collectionBox("inbox")->click();
    QCOMPARE(lib.store->item("chair")->collectionIds, (QStringList{"furniture", "lighting"}));
    QVERIFY(inspector.collectionBox("lighting")->isChecked());
    QVERIFY(!inspector.collectionBox("inbox")->isChecked());
}

void TestInspector::severalPickedEditTogether()
{
    paneltest::Library lib(library());
    Inspector inspector(*lib.store);
    bool similarAsked = false;
    inspector.findSimilar = [&](const QString &) { similarAsked = true; };
    inspector.setPicked({QStringLiteral("chair"), QStringLiteral("desk")});
    inspector.resize(302, 900);
    inspector.show();
    QVERIFY(!inspector.picture());
    QVERIFY(!inspector.findSimilarButton());
    QCOMPARE(inspector.tagCloud()->texts(), QStringList{"walnut"});
    QCOMPARE(inspector.collectionBox("inbox")->checkState(), Qt::PartiallyChecked);
    QCOMPARE(inspector.collectionBox("furniture")->checkState(), Qt::Checked);

    QTest::keyClicks(inspector.tagField(), QStringLiteral("Mid Century"));
    QTest::keyClick(inspector.tagField(), Qt::Key_Return);
    QCOMPARE(lib.store->item("chair")->tags, (QStringList{"chair", "walnut", "mid century"}));
    QCOMPARE(lib.store->item("desk")->tags, (QStringList{"walnut", "desk", "mid century"}));
    QTest::mouseClick(inspector.tagCloud(), Qt::LeftButton, {}, inspector.tagCloud()->removeRect(0).center());
    QCOMPARE(lib.store->item("chair")->tags, (QStringList{"chair", "mid century"}));
    QCOMPARE(lib.store->item("desk")->tags, (QStringList{"desk", "mid century"}));

    // A partly checked collection takes everyone in; a fully checked one lets everyone go.
    inspector.collectionBox("inbox")->click();
    QCOMPARE(lib.store->item("desk")->collectionIds, (QStringList{"furniture", "inbox"}));
    QCOMPARE(lib.store->item("chair")->collectionIds, (QStringList{"inbox", "furniture"}));
    inspector.collectionBox("furniture")->click();
    QCOMPARE(lib.store->item("desk")->collectionIds, QStringList{"inbox"});
    QCOMPARE(lib.store->item("chair")->collectionIds, QStringList{"inbox"});
    QVERIFY(!similarAsked);
}

void TestInspector::screenshotLinkWithInsight()
{
    paneltest::Library lib(library());
    writePictures(lib.root());
    Inspector inspector(*lib.store);
    QString similar;
    inspector.findSimilar = [&](const QString &id) { similar = id; };
    inspector.resize(Inspector::kWidth, 900);
    inspector.setTitle(QStringLiteral("Links"));
    inspector.setShown({linkItem()});
    inspector.setPicked({QStringLiteral("page")});
    inspector.show();
    QVERIFY(inspector.insightCard());
    QCOMPARE(inspector.addressLabel()->text(), QStringLiteral("https://shop.example.com/lamps/arc"));
    QVERIFY(!inspector.suggestButton()); // a link's tags come with its insight
    QTRY_VERIFY(inspector.picture()->hasImage());
    QTest::qWait(50); // the favicon is read beside the picture
    const QImage shot = paneltest::shoot(inspector, QStringLiteral("inspector-link"));

    const QRect card = areaOf(inspector.insightCard(), &inspector);
    QVERIFY(card.height() > 80);
    // The card is lifted from the background and carries its text.
    QVERIFY(paneltest::brightness(shot, QRect(card.left() + 4, card.bottom() - 6, 4, 3)) > qGray(windowBackground().rgb()) + 3);
    QVERIFY(paneltest::brightPixels(shot, card.adjusted(10, 24, -10, -10), 150) > 100);
    // The favicon, in red, beside the site name.
    QVERIFY(paneltest::hasColour(shot, QRect(0, 0, 302, card.top()), QColor(220, 40, 40), 10));

    QTest::mouseClick(inspector.findSimilarButton(), Qt::LeftButton);
    QCOMPARE(similar, QStringLiteral("page"));
}

// Every keystroke of a search tells the panel a new count: the count line
// follows, and the picked item's picture, its typed tag and focus stay put
// instead of loading again.
void TestInspector::countFollowsTheSearchWithoutRebuilding()
{
    paneltest::Library lib(library());
    writePictures(lib.root());
    Inspector inspector(*lib.store);
    inspector.resize(Inspector::kWidth, 900);
    inspector.setTitle(QStringLiteral("All Items"));
    inspector.setShownCount(3);
    inspector.setPicked({QStringLiteral("chair")});
    inspector.show();
    QTRY_VERIFY(inspector.picture() && inspector.picture()->hasImage());
    inspector.tagField()->setFocus();
    QTRY_VERIFY(inspector.tagField()->hasFocus());
    QTest::keyClicks(inspector.tagField(), QStringLiteral("oak"));
    const QLabel *title = inspector.sectionTitleLabel();

    for (const auto &[count, text] : {std::pair{1, "1 item"}, std::pair{0, "0 items"}, std::pair{1234, "1234 items"}}) {
        inspector.setShownCount(count);
        QCOMPARE(inspector.sectionCountLabel()->text(), QString::fromLatin1(text));
        QVERIFY(inspector.picture() && inspector.picture()->hasImage());
        QCOMPARE(inspector.sectionTitleLabel(), title);
        QCOMPARE(inspector.tagField()->text(), QStringLiteral("oak"));
        QVERIFY(inspector.tagField()->hasFocus());
    }
    // A change of what the panel describes still builds it afresh.
    inspector.setTitle(QStringLiteral("Furniture"));
    QCOMPARE(inspector.sectionTitleLabel()->text(), QStringLiteral("Furniture"));
    QCOMPARE(inspector.sectionCountLabel()->text(), QStringLiteral("1234 items"));
}

QTEST_MAIN(TestInspector)
#include "tst_inspector.moc"
