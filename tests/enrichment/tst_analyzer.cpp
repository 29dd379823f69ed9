#include "ScopedScheduler.h"

#include "AnalysisFixtures.h"
#include "FakeModelServer.h"

#include "enrichment/Analyzer.h"
#include "enrichment/FeaturePrintStore.h"
#include "library/LibraryStore.h"
#include "library/LibraryStoreMedia.h"
#include "library/Media.h"
#include "library/Palette.h"
#include "library/Records.h"
#include "platform/Clock.h"
#include "platform/Defaults.h"
#include "platform/LanguageModel.h"
#include "platform/Scheduler.h"
#include "platform/Uuid.h"

#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace vellora;

namespace {
// An item whose thumbnail this test writes itself.
Item makeItem(const QString &kind = QStringLiteral("image"))
{
    Item item;
    item.id = newUUIDString();
    item.kind = kind;
    item.originalFilename = item.id.left(8) + QStringLiteral(".png");
    item.storedFilename = item.id + QStringLiteral(".png");
    item.thumbnailFilename = item.id + QStringLiteral(".jpg");
    item.pixelWidth = 800;
    item.pixelHeight = 600;
    item.contentHash = item.id;
    item.dateAdded = item.dateCreated = now();
    return item;
}

bool waitForLoop(Analyzer &analyzer, int timeoutMs = 60000)
{
    return QTest::qWaitFor([&] { return !analyzer.isRunning(); }, timeoutMs);
}

// The Qt scheduler, counting the delayed runs asked of it: the store's
// save requests (each restarts its half-second debounce).
class CountingScheduler final : public Scheduler {
public:
    void post(std::function<void()> fn) override { m_qt.post(std::move(fn)); }
    TaskId postAfter(double seconds, std::function<void()> fn) override
    {
        ++delayed;
        return m_qt.postAfter(seconds, std::move(fn));
    }
    void cancel(TaskId id) override { m_qt.cancel(id); }
    int delayed = 0;

private:
    QtScheduler m_qt;
};
} // namespace

class TestAnalyzer : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void importedFixturesAreAnalysed();
    void theThumbnailIsWhatIsAnalysed();
    void onlyMissingFieldsAreComputed();
    void unreadableThumbnailWaitsForTheNextPass();
    void linkWaitsForItsSnapshot();
    void schedulingDuringAPassAddsOnePass();
    void cancelKeepsThePassOutOfTheFile();
    void printsOfDeletedItemsStayInMemoryOnly();
    void tagsFromTheModelAndTheInsight();
    void tagsWaitForAModelThatDidNotAnswer();
    void unsafeThumbnailNameIsNeverOpened();
    void resultsAreWrittenInBatches();
    void cancelDropsTheRestOfTheBatch();

private:
    QString writeThumbnail(const QString &root, const Item &item, const QImage &image)
    {
        QDir().mkpath(root + QStringLiteral("/thumbnails"));
        const QString path = root + QStringLiteral("/thumbnails/") + item.thumbnailFilename;
        fixtures::saveJpeg(image, path);
        return path;
    }
    QString newRoot() { return m_dir.filePath(QStringLiteral("lib-%1").arg(++m_roots)); }

    QTemporaryDir m_dir;
    int m_roots = 0;
};

void TestAnalyzer::initTestCase()
{
    QVERIFY(m_dir.isValid());
    installMediaServices();
}

void TestAnalyzer::init()
{
    Defaults::standard().remove(QString::fromLatin1(kLanguageModelURLKey));
    LanguageModel::endAllRests();
}

void TestAnalyzer::importedFixturesAreAnalysed()
{
    const QString root = newRoot();
    const QString src = m_dir.filePath(QStringLiteral("fixtures"));
    QDir().mkpath(src);
    const QImage original = fixtures::scene(3);
    struct Fixture {
        QString name;
        QImage image;
    };
    const QList<Fixture> pictures = {
        {QStringLiteral("split.png"), fixtures::twoColourSplit()},
        {QStringLiteral("card.png"), fixtures::wordCard({"MODERN CHAIR", "Walnut and oak"})},
        {QStringLiteral("grey.png"), fixtures::greyPicture()},
        {QStringLiteral("original.jpg"), original},
        {QStringLiteral("copy.jpg"), fixtures::reencoded(original)},
        {QStringLiteral("other-1.jpg"), fixtures::scene(5)},
        {QStringLiteral("other-2.jpg"), fixtures::scene(8)},
    };
    QStringList files;
    for (const Fixture &f : pictures) {
        const QString path = src + QLatin1Char('/') + f.name;
        QVERIFY(f.image.save(path, nullptr, 90));
        files << path;
    }
    LibraryStore store(root, false);
    QCOMPARE(addFiles(store, files, store.defaultBoardId()), pictures.size());
    auto byName = [&](const QString &name) {
        for (const Item &item : store.items())
            if (item.originalFilename == name)
                return item;
        qFatal("no item %s", qPrintable(name));
    };

    Analyzer analyzer(store);
    QSignalSpy totals(&analyzer, &Analyzer::totalChanged);
    QSignalSpy saved(&analyzer, &Analyzer::printsSaved);
    analyzer.schedule();
    QVERIFY(analyzer.isRunning());
    QVERIFY(waitForLoop(analyzer));
    QCOMPARE(totals.first().first().toInt(), int(pictures.size()));
    QCOMPARE(analyzer.total(), 0);
    QCOMPARE(analyzer.done(), 0);
    QCOMPARE(saved.size(), 1);

    // Palettes, heaviest first.
    const Item split = byName(QStringLiteral("split.png"));
    QVERIFY(split.palette);
    QCOMPARE(split.palette->size(), 2);
    QVERIFY2(QColor(split.palette->at(0)).blue() > 150 && QColor(split.palette->at(1)).red() > 200,
             qPrintable(split.palette->join(' ')));
    // Text and labels.
    const Item card = byName(QStringLiteral("card.png"));
    QVERIFY2(card.ocrText && card.ocrText->contains(QStringLiteral("MODERN CHAIR"))
                 && card.ocrText->contains(QStringLiteral("Walnut and oak")),
             qPrintable(card.ocrText.value_or(QStringLiteral("<none>"))));
    QCOMPARE(*card.labels, (QStringList{"text"}));
    const Item grey = byName(QStringLiteral("grey.png"));
    QCOMPARE(*grey.labels, QStringList{}); // nothing it shows is recognised
    QCOMPARE(*grey.ocrText, QString());
    // Without a model the tags are the first five labels.
    QCOMPARE(*card.tags, *card.labels);
    QCOMPARE(*grey.tags, *grey.labels);
    for (const Item &item : store.items())
        QVERIFY(item.palette && item.labels && item.ocrText && item.tags);

    // One print per item in featureprints.bin, beside library.json.
    QCOMPARE(analyzer.featurePrintsPath(), root + QStringLiteral("/featureprints.bin"));
    const FeaturePrints onDisk = readFeaturePrints(analyzer.featurePrintsPath());
    QStringList ids;
    for (const Item &item : store.items())
        ids << item.id;
    QStringList stored = onDisk.keys();
    std::sort(ids.begin(), ids.end());
    std::sort(stored.begin(), stored.end());
    QCOMPARE(stored, ids);

    // Find-similar puts the near-duplicate first after the item itself.
    const QString originalId = byName(QStringLiteral("original.jpg")).id;
    const QHash<QString, float> distances = analyzer.distances(originalId).toHash();
    QCOMPARE(distances.size(), pictures.size());
    QStringList order = distances.keys();
    std::sort(order.begin(), order.end(), [&](const QString &a, const QString &b) { return distances[a] < distances[b]; });
    QCOMPARE(order.at(0), originalId);
    QCOMPARE(order.at(1), byName(QStringLiteral("copy.jpg")).id);
    QVERIFY(analyzer.distances(QStringLiteral("no-such-id")).isEmpty());

    // The results reach library.json with the store's save.
    QVERIFY(QTest::qWaitFor([&] { return !store.hasUnsavedChanges(); }, 5000));
    QFile json(root + QStringLiteral("/library.json"));
    QVERIFY(json.open(QIODevice::ReadOnly));
    const LibraryFile file = LibraryFile::decode(json.readAll());
    for (const Item &item : file.items)
        QVERIFY(item.palette && item.labels && item.tags);

    // A second pass has nothing to do: no work, no write.
    const QDateTime written = QFileInfo(analyzer.featurePrintsPath()).lastModified();
    totals.clear();
    analyzer.schedule();
    QVERIFY(waitForLoop(analyzer));
    QCOMPARE(totals.size(), 0);
    QCOMPARE(saved.size(), 1);
    QCOMPARE(QFileInfo(analyzer.featurePrintsPath()).lastModified(), written);

    // A new analyzer of the same library starts with the stored prints.
    Analyzer again(store);
    QCOMPARE(again.prints().size(), pictures.size());
    QCOMPARE(again.distances(originalId).toHash().keys().size(), pictures.size());
}

// The analysis reads the thumbnail, the picture as its tile shows it, and
// never the full-size original: not even a PNG with an alpha channel.
void TestAnalyzer::theThumbnailIsWhatIsAnalysed()
{
    const QString root = newRoot();
    const QString src = m_dir.filePath(QStringLiteral("transparent"));
    QDir().mkpath(src);
    const QString swirls = src + QStringLiteral("/swirls.png");
    QVERIFY(fixtures::faintFieldUnderSwirls().save(swirls));
    LibraryStore store(root, false);
    QCOMPARE(addFiles(store, {swirls}, store.defaultBoardId()), 1);

    // An opaque original in a format with alpha, beside a thumbnail that
    // shows something else: what the analysis finds is the thumbnail's.
    Item shown = makeItem();
    QImage red(800, 600, QImage::Format_ARGB32);
    red.fill(QColor(220, 30, 30));
    QDir().mkpath(root + QStringLiteral("/originals"));
    QVERIFY(red.save(originalPath(root, shown.storedFilename), "PNG"));
    writeThumbnail(root, shown, fixtures::wordCard({"MODERN CHAIR", "Walnut and oak"}));
    store.appendItems({shown});

    Analyzer analyzer(store);
    analyzer.schedule();
    QVERIFY(waitForLoop(analyzer));
    for (const Item &item : store.items()) {
        QVERIFY(item.palette);
        const QString palette = item.palette->join(u' ');
        if (item.id == shown.id) {
            QVERIFY2(!paletteMatchesHue(*item.palette, 0, 30), qPrintable(palette));
            QVERIFY2(item.ocrText && item.ocrText->contains(QStringLiteral("Walnut")), qPrintable(palette));
        } else {
            // Nearly clear blue and magenta are seen by nobody: the tile shows
            // the window's grey there.
            QVERIFY2(!paletteMatchesHue(*item.palette, 240, 30) && !paletteMatchesHue(*item.palette, 300, 30),
                     qPrintable(palette));
            QVERIFY2(!item.palette->contains(QStringLiteral("#0000ff")), qPrintable(palette));
        }
    }
}

void TestAnalyzer::onlyMissingFieldsAreComputed()
{
    const QString root = newRoot();
    LibraryStore store(root, false);
    Item labelled = makeItem();
    labelled.labels = QStringList(); // an empty list is present: never labelled again
    labelled.tags = QStringList{"kept"};
    Item textless = makeItem();
    textless.palette = QStringList{"#000000"};
    textless.labels = QStringList{"x"};
    textless.tags = QStringList{"y"}; // only ocrText and the print are missing
    writeThumbnail(root, labelled, fixtures::wordCard({"HELLO THERE"}));
    writeThumbnail(root, textless, fixtures::scene(1));
    store.appendItems({labelled, textless});

    Analyzer analyzer(store);
    QSignalSpy totals(&analyzer, &Analyzer::totalChanged);
    analyzer.schedule();
    QVERIFY(waitForLoop(analyzer));
    QCOMPARE(totals.first().first().toInt(), 2); // both lack a print
    const Item a = *store.item(labelled.id);
    QCOMPARE(*a.labels, QStringList());
    QVERIFY(!a.ocrText);
    QCOMPARE(*a.tags, QStringList{"kept"});
    QVERIFY(a.palette && !a.palette->isEmpty());
    const Item b = *store.item(textless.id);
    QCOMPARE(*b.palette, QStringList{"#000000"});
    QVERIFY(!b.ocrText);
    QVERIFY(analyzer.prints().contains(labelled.id) && analyzer.prints().contains(textless.id));

    // With every print present and nothing else missing, the pass has no work.
    totals.clear();
    analyzer.schedule();
    QVERIFY(waitForLoop(analyzer));
    QCOMPARE(totals.size(), 0);
}

void TestAnalyzer::unreadableThumbnailWaitsForTheNextPass()
{
    const QString root = newRoot();
    LibraryStore store(root, false);
    Item missing = makeItem();
    Item broken = makeItem();
    QDir().mkpath(root + QStringLiteral("/thumbnails"));
    QFile half(root + QStringLiteral("/thumbnails/") + broken.thumbnailFilename);
    QVERIFY(half.open(QIODevice::WriteOnly));
    half.write(QByteArray("\xff\xd8\xff\xe0", 4)); // a JPEG that is still being written
    half.close();
    store.appendItems({missing, broken});

    Analyzer analyzer(store);
    QSignalSpy saved(&analyzer, &Analyzer::printsSaved);
    analyzer.schedule();
    QVERIFY(waitForLoop(analyzer));
    for (const QString &id : {missing.id, broken.id}) {
        const Item item = *store.item(id);
        QVERIFY(!item.palette && !item.labels && !item.ocrText && !item.tags);
        QVERIFY(!analyzer.prints().contains(id));
    }
    QCOMPARE(saved.size(), 1); // the pass had work; the file holds nothing for them
    QVERIFY(readFeaturePrints(analyzer.featurePrintsPath()).isEmpty());

    // Once the thumbnails are there, the next pass analyses them.
    writeThumbnail(root, missing, fixtures::greyPicture());
    writeThumbnail(root, broken, fixtures::twoColourSplit());
    analyzer.schedule();
    QVERIFY(waitForLoop(analyzer));
    QCOMPARE(*store.item(missing.id)->labels, QStringList{});
    QCOMPARE(store.item(broken.id)->palette->size(), 2);
    QCOMPARE(readFeaturePrints(analyzer.featurePrintsPath()).size(), 2);
}

void TestAnalyzer::linkWaitsForItsSnapshot()
{
    const QString root = newRoot();
    LibraryStore store(root, false);
    Item link = makeItem(QStringLiteral("link"));
    link.sourceURL = QStringLiteral("https://example.com/");
    writeThumbnail(root, link, fixtures::scene(2));
    store.appendItems({link});

    Analyzer analyzer(store);
    QSignalSpy totals(&analyzer, &Analyzer::totalChanged);
    analyzer.schedule();
    QVERIFY(waitForLoop(analyzer));
    QCOMPARE(totals.size(), 0);
    QVERIFY(!store.item(link.id)->palette);

    store.updateItem(link.id, [](Item &it) { it.snapshotDate = now(); });
    analyzer.schedule();
    QVERIFY(waitForLoop(analyzer));
    QCOMPARE(totals.first().first().toInt(), 1);
    QVERIFY(store.item(link.id)->palette && analyzer.prints().contains(link.id));
}

void TestAnalyzer::schedulingDuringAPassAddsOnePass()
{
    const QString root = newRoot();
    LibraryStore store(root, false);
    QList<Item> items;
    for (int i = 0; i < 3; ++i) {
        items << makeItem();
        writeThumbnail(root, items.last(), fixtures::scene(10 + i, QSize(400, 300)));
    }
    store.appendItems(items);

    Analyzer analyzer(store);
    QList<int> passTotals;
    connect(&analyzer, &Analyzer::totalChanged, this, [&](int total) {
        if (total > 0)
            passTotals << total;
    });
    bool added = false;
    connect(&analyzer, &Analyzer::doneChanged, this, [&](int done) {
        if (done == 1 && !added) {
            added = true;
            Item late = makeItem();
            writeThumbnail(root, late, fixtures::greyPicture());
            store.appendItems({late});
            analyzer.schedule();
            analyzer.schedule();
            analyzer.schedule();
        }
    });
    QSignalSpy finished(&analyzer, &Analyzer::finished);
    analyzer.schedule();
    QVERIFY(waitForLoop(analyzer));
    // The first pass's three items, then exactly one more pass, for the late item.
    QCOMPARE(passTotals, (QList<int>{3, 1}));
    QCOMPARE(finished.size(), 1);
    QCOMPARE(store.items().size(), 4);
    for (const Item &item : store.items())
        QVERIFY(item.palette && item.tags);
}

void TestAnalyzer::cancelKeepsThePassOutOfTheFile()
{
    const QString root = newRoot();
    LibraryStore store(root, false);
    QList<Item> items;
    for (int i = 0; i < 3; ++i) {
        items << makeItem();
        writeThumbnail(root, items.last(), fixtures::scene(20 + i, QSize(400, 300)));
    }
    store.appendItems(items);
    Analyzer analyzer(store);
    QSignalSpy saved(&analyzer, &Analyzer::printsSaved);
    connect(&analyzer, &Analyzer::doneChanged, this, [&](int done) {
        if (done == 1)
            analyzer.cancel();
    });
    analyzer.schedule();
    QVERIFY(waitForLoop(analyzer));
    QCOMPARE(analyzer.done(), 1);
    QCOMPARE(analyzer.total(), 3);
    QCOMPARE(saved.size(), 0);
    QVERIFY(!QFileInfo::exists(analyzer.featurePrintsPath()));
    QCOMPARE(analyzer.prints().size(), 1);
    QVERIFY(store.item(items[0].id)->tags && !store.item(items[1].id)->palette);

    // The next launch computes what was lost.
    Analyzer next(store);
    QCOMPARE(next.prints().size(), 0);
    next.schedule();
    QVERIFY(waitForLoop(next));
    QCOMPARE(readFeaturePrints(next.featurePrintsPath()).size(), 3);
}

void TestAnalyzer::printsOfDeletedItemsStayInMemoryOnly()
{
    const QString root = newRoot();
    LibraryStore store(root, false);
    Item keep = makeItem(), gone = makeItem(), fresh = makeItem();
    writeThumbnail(root, keep, fixtures::scene(30, QSize(400, 300)));
    writeThumbnail(root, gone, fixtures::scene(31, QSize(400, 300)));
    writeThumbnail(root, fresh, fixtures::scene(32, QSize(400, 300)));
    store.appendItems({keep, gone});
    Analyzer analyzer(store);
    analyzer.schedule();
    QVERIFY(waitForLoop(analyzer));
    store.deletePermanently(gone.id);
    store.appendItems({fresh});
    analyzer.schedule();
    QVERIFY(waitForLoop(analyzer));
    QVERIFY(analyzer.distances(keep.id).contains(gone.id)); // still in memory
    const FeaturePrints onDisk = readFeaturePrints(analyzer.featurePrintsPath());
    QVERIFY(onDisk.contains(keep.id) && onDisk.contains(fresh.id) && !onDisk.contains(gone.id));

    // Dropping a print (the link road does, when a picture is replaced) makes the next pass compute it.
    analyzer.dropPrint(keep.id);
    QVERIFY(analyzer.distances(keep.id).isEmpty());
    analyzer.schedule();
    QVERIFY(waitForLoop(analyzer));
    QVERIFY(analyzer.prints().contains(keep.id));
}

void TestAnalyzer::tagsFromTheModelAndTheInsight()
{
    FakeModelServer server;
    server.setStanding(FakeModelServer::answer(nlohmann::json{{"tags", {"Typography", "poster", "Bold"}}}));
    Defaults::standard().set(QString::fromLatin1(kLanguageModelURLKey), server.url().toString());
    const QString root = newRoot();
    LibraryStore store(root, false);
    Item link = makeItem(QStringLiteral("link"));
    link.snapshotDate = now();
    link.originalFilename = QStringLiteral("example.com");
    LinkInsight insight;
    insight.summary = QStringLiteral("A poster shop.");
    insight.category = QStringLiteral("product");
    insight.suggestedTags = {"Poster", "Shop"};
    link.insight = insight;
    writeThumbnail(root, link, fixtures::wordCard({"BOLD POSTER"}));
    store.appendItems({link});

    Analyzer analyzer(store);
    analyzer.schedule();
    QVERIFY(waitForLoop(analyzer));
    QCOMPARE(*store.item(link.id)->tags, (QStringList{"typography", "poster", "bold", "shop"}));
    QCOMPARE(server.requestCount(), 1);
    const QString prompt = server.requests().first().user();
    QVERIFY2(prompt.startsWith(QStringLiteral("Filename: example.com\nDetected: text\n"
                                              "Text in the image: BOLD POSTER")),
             qPrintable(prompt));
}

void TestAnalyzer::tagsWaitForAModelThatDidNotAnswer()
{
    FakeModelServer server;
    server.enqueue({500, QByteArrayLiteral("{}"), false});
    server.setStanding(FakeModelServer::answer(nlohmann::json{{"tags", {"Poster", "type", "print"}}}));
    Defaults::standard().set(QString::fromLatin1(kLanguageModelURLKey), server.url().toString());
    const QString root = newRoot();
    LibraryStore store(root, false);
    QList<Item> items{makeItem(), makeItem()};
    for (const Item &item : items)
        writeThumbnail(root, item, fixtures::wordCard({"BOLD POSTER"}));
    store.appendItems(items);

    Analyzer analyzer(store);
    analyzer.schedule();
    QVERIFY(waitForLoop(analyzer));
    // One failed request; the second item was not even sent while the model rests.
    QCOMPARE(server.requestCount(), 1);
    for (const Item &item : items) {
        const Item stored = *store.item(item.id);
        QVERIFY(stored.labels && stored.palette);
        QVERIFY2(!stored.tags, qPrintable(stored.tags.value_or(QStringList()).join(u',')));
    }

    // Once the rest is over the analyzer asks again, by itself.
    LanguageModel::endAllRests();
    QTRY_VERIFY_WITH_TIMEOUT(store.item(items[1].id)->tags.has_value(), 15000);
    QVERIFY(waitForLoop(analyzer));
    for (const Item &item : items)
        QCOMPARE(*store.item(item.id)->tags, (QStringList{"poster", "type", "print"}));
    QCOMPARE(server.requestCount(), 3);
}

void TestAnalyzer::unsafeThumbnailNameIsNeverOpened()
{
    const QString root = newRoot();
    LibraryStore store(root, false);
    // A picture outside the thumbnails folder, named by a document's field.
    fixtures::saveJpeg(fixtures::scene(40), root + QStringLiteral("/outside.jpg"));
    Item item = makeItem();
    item.thumbnailFilename = QStringLiteral("../outside.jpg");
    store.appendItems({item});
    Analyzer analyzer(store);
    analyzer.schedule();
    QVERIFY(waitForLoop(analyzer));
    QVERIFY(!store.item(item.id)->palette);
    QVERIFY(!analyzer.prints().contains(item.id));
}

void TestAnalyzer::resultsAreWrittenInBatches()
{
    const QString root = newRoot();
    LibraryStore store(root, false);
    QList<Item> items;
    for (int i = 0; i < 6; ++i) {
        items << makeItem();
        // Pictures with words, without and flat: each goes its own way through the workers.
        const QImage picture = i == 0 ? fixtures::wordCard({"HELLO THERE"})
                                      : (i % 2 ? fixtures::scene(50 + i, QSize(400, 300)) : fixtures::greyPicture());
        writeThumbnail(root, items.last(), picture);
    }
    store.appendItems(items);
    QVERIFY(!store.savePending());

    Analyzer analyzer(store);
    analyzer.setBatchLimits(3, 600000); // by count only: two batches of three
    QList<int> dones;
    connect(&analyzer, &Analyzer::doneChanged, this, [&](int done) { dones << done; });
    QList<int> batches;
    QList<bool> pendingAfterBatch;
    connect(&analyzer, &Analyzer::batchApplied, this, [&](int size) {
        batches << size;
        pendingAfterBatch << store.savePending();
    });
    CountingScheduler scheduler;
    {
        ScopedScheduler scoped(&scheduler);
        analyzer.schedule();
        QVERIFY(waitForLoop(analyzer));
    }
    QCOMPARE(batches, (QList<int>{3, 3}));
    QCOMPARE(pendingAfterBatch, (QList<bool>{true, true}));
    // Eighteen changes (palette with labels, then tags, of six items), two save requests.
    QCOMPARE(scheduler.delayed, 2);
    // done still counts every item, then goes back to 0 with total.
    QCOMPARE(dones, (QList<int>{1, 2, 3, 4, 5, 6, 0}));
    for (const Item &item : items) {
        const Item stored = *store.item(item.id);
        QVERIFY(stored.palette && stored.labels && stored.ocrText && stored.tags);
        QVERIFY(analyzer.prints().contains(item.id));
    }
    QVERIFY(store.item(items[0].id)->ocrText->contains(QStringLiteral("HELLO THERE")));
    QCOMPARE(*store.item(items[2].id)->ocrText, QString()); // no text: present and empty, done
    QVERIFY(QTest::qWaitFor([&] { return !store.hasUnsavedChanges(); }, 5000));
}

void TestAnalyzer::cancelDropsTheRestOfTheBatch()
{
    const QString root = newRoot();
    LibraryStore store(root, false);
    QList<Item> items;
    for (int i = 0; i < 4; ++i) {
        items << makeItem();
        writeThumbnail(root, items.last(), fixtures::scene(60 + i, QSize(400, 300)));
    }
    store.appendItems(items);
    Analyzer analyzer(store);
    analyzer.setBatchLimits(4, 600000); // all four come back before any is written
    QList<int> batches;
    connect(&analyzer, &Analyzer::batchApplied, this, [&](int size) { batches << size; });
    const auto cancelAtTwo = connect(&analyzer, &Analyzer::doneChanged, this, [&](int done) {
        if (done == 2)
            analyzer.cancel();
    });
    CountingScheduler scheduler;
    {
        ScopedScheduler scoped(&scheduler);
        analyzer.schedule();
        QVERIFY(waitForLoop(analyzer));
    }
    QCOMPARE(analyzer.done(), 2);
    QCOMPARE(analyzer.total(), 4);
    QVERIFY(batches.isEmpty()); // the batch was cut short
    // What was written before the cancel is saved; the rest is not written at all.
    QCOMPARE(scheduler.delayed, 1);
    QVERIFY(QTest::qWaitFor([&] { return !store.hasUnsavedChanges(); }, 5000));
    int written = 0;
    for (const Item &item : items) {
        const Item stored = *store.item(item.id);
        const bool analysed = stored.palette.has_value();
        QCOMPARE(stored.labels.has_value(), analysed);
        QCOMPARE(stored.tags.has_value(), analysed);
        QCOMPARE(analyzer.prints().contains(item.id), analysed);
        written += analysed ? 1 : 0;
    }
    QCOMPARE(written, 2);
    QVERIFY(!QFileInfo::exists(analyzer.featurePrintsPath()));

    // Nothing of the cancelled pass arrives later, into the next pass.
    disconnect(cancelAtTwo);
    analyzer.setBatchLimits(1, 600000);
    QList<int> totals;
    connect(&analyzer, &Analyzer::totalChanged, this, [&](int total) { totals << total; });
    analyzer.schedule();
    QVERIFY(waitForLoop(analyzer));
    QCOMPARE(totals, (QList<int>{2, 0}));
    QCOMPARE(readFeaturePrints(analyzer.featurePrintsPath()).size(), 4);
}

QTEST_MAIN(TestAnalyzer)
#include "tst_analyzer.moc"
