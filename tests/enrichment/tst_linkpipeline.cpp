#include "LoopbackHttpServer.h"
#include "SeamGuard.h"
#include "enrichment/LinkCover.h"
#include "enrichment/LinkPipeline.h"
#include "enrichment/PageSnapshot.h"
#include "library/LibraryStore.h"
#include "library/LinkParser.h"
#include "library/Media.h"

#include <QApplication>
#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <QTest>
#include <QStringEncoder>
#include <QTimer>

#include <optional>

#include "../library/PictureFixtures.h"

using namespace vellora;

namespace {

QByteArray png(int w, int h, QColor colour)
{
    return fixtures::pngBytes(w, h, colour);
}

QByteArray fileHash(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256);
}

bool runPipeline(LibraryStore &store, const QString &id, int limitMs = 40000)
{
    bool done = false;
    fetchLinkMetadata(store, id, [&done] { done = true; });
    QElapsedTimer t;
    t.start();
    while (!done && t.elapsed() < limitMs)
        QTest::qWait(20);
    return done;
}

LinkInsight insightSaying(const QString &summary)
{
    LinkInsight insight;
    insight.summary = summary;
    insight.keyPoints = {QStringLiteral("one")};
    insight.category = QStringLiteral("article");
    insight.suggestedTags = {QStringLiteral("Fruit")};
    return insight;
}

// A snapshot that never renders anything, as on a system without a web view.
class BlankSnapshot final : public PageSnapshotRun {
public:
    void run(const QString &, std::function<void(PageSnapshotResult)> done) override
    {
        QTimer::singleShot(0, [done = std::move(done)] { done({}); });
    }
};

} // namespace

class TestLinkPipeline : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void addsOnceAndReusesTheAddress();
    void enrichesAPageWithOpenGraph();
    void pageWithoutPictureGetsTheCover();
    void previewImageWhenThePageGivesNone();
    void httpErrorPageIsStillAPage();
    void closedPortGivesHostTitleAndKeepsEarlierData();
    void userTagsSurviveARefresh();
    void itemDeletedDuringTheRunLeavesNoFiles();
    void refreshPicksInterruptedRuns();
    void regeneratesInsightAndMergesTags();
    void refreshRunsOneLinkAtATime();
    void opensOnlyAddressesThatParse();
    void allFactsComeFromOnePage_data();
    void allFactsComeFromOnePage();
    void onePageIsReadInOneCharset_data();
    void onePageIsReadInOneCharset();
    void snapshotsWaitTheirTurn();

private:
    LoopbackHttpServer m_server;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<LibraryStore> m_store;
    QStringList m_dropped;
    int m_analysisRuns = 0;
    std::optional<LinkInsight> m_nextInsight;
    QStringList m_describedTitles;
    std::optional<SeamGuard> m_seams;
};

void TestLinkPipeline::initTestCase()
{
    QVERIFY(m_server.listen());
    QByteArray body = "<p>Oranges are round. " + QByteArray(100, 'o') + "</p>";
    m_server.page("/og",
                  "<html><head><title>Doc Title</title>"
                  "<meta property=\"og:title\" content=\"Orange Story\">"
                  "<meta property=\"og:description\" content=\"All about oranges\">"
                  "<meta property=\"og:site_name\" content=\"Fruit Site\">"
                  "<meta property=\"og:image\" content=\"/preview.png\">"
                  "<link rel=\"icon\" href=\"/icon.png\" sizes=\"32x32\">"
                  "<style>html,body{margin:0;background:#ff8000}</style></head><body>" + body + "</body></html>");
    m_server.set("/icon.png", {200, "image/png", png(32, 32, Qt::blue), {}, false});
    m_server.set("/preview.png", {200, "image/png", png(600, 300, Qt::red), {}, false});
    m_server.page("/plain", "<html><head><title>Plain Words</title></head><body>words</body></html>");
    m_server.set("/favicon.ico", {404, "text/plain", "no", {}, false});

    installPageSnapshots();
    auto &services = LinkPipelineServices::installed();
    services.describeLink = [this](const QString &title, const QString &, const QString &,
                                   LinkPipelineServices::InsightDone done) {
        m_describedTitles.append(title);
        auto insight = m_nextInsight;
        QTimer::singleShot(0, [done = std::move(done), insight] { done(insight); });
    };
    services.dropFeaturePrint = [this](LibraryStore &, const QString &id) { m_dropped.append(id); };
    services.scheduleAnalysis = [this](LibraryStore &) { ++m_analysisRuns; };
    services.openURL = [](const QUrl &) {};
}

void TestLinkPipeline::init()
{
    m_seams.emplace();
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_store = std::make_unique<LibraryStore>(m_dir->path(), false);
    QVERIFY(m_store->loaded());
    m_dropped.clear();
    m_analysisRuns = 0;
    m_nextInsight = insightSaying(QStringLiteral("A page about oranges."));
    m_describedTitles.clear();
}

void TestLinkPipeline::cleanup()
{
    m_store.reset();
    m_dir.reset();
    m_seams.reset();
}

void TestLinkPipeline::addsOnceAndReusesTheAddress()
{
    const QString board = m_store->defaultBoardId();
    const QString url = *normalizedLinkURL(QStringLiteral("www.Example.com/a"));
    const QString id = addLink(*m_store, url, board);
    const auto item = m_store->item(id);
    QVERIFY(item);
    QCOMPARE(item->kind, QStringLiteral("link"));
    QCOMPARE(item->originalFilename, QStringLiteral("www.Example.com"));
    QCOMPARE(item->storedFilename, id + ".png");
    QCOMPARE(item->thumbnailFilename, id + ".jpg");
    QCOMPARE(item->pixelWidth, 1280);
    QCOMPARE(item->pixelHeight, 800);
    QCOMPARE(item->contentHash, "link:" + url);
    QCOMPARE(item->sourceURL, std::optional<QString>(url));
    QCOMPARE(item->dateAdded, item->dateCreated);
    QCOMPARE(item->collectionIds, QStringList{board});
    QVERIFY(!item->snapshotDate && !item->title && !item->tags);
    QVERIFY(m_store->savePending());

    const int count = m_store->items().size();
    // The same text again, also from the trash or asked for another collection.
    m_store->trash({id});
    QCOMPARE(addLink(*m_store, url, QStringLiteral("other")), id);
    QCOMPARE(m_store->items().size(), count);
    QVERIFY(!m_store->item(id)->collectionIds.contains(QStringLiteral("other")));
    // A trailing slash is another address.
    QVERIFY(addLink(*m_store, url + "/", board) != id);
}

void TestLinkPipeline::enrichesAPageWithOpenGraph()
{
    const QString url = m_server.url("/og");
    const QString id = addLink(*m_store, url, m_store->defaultBoardId());
    QVERIFY(runPipeline(*m_store, id));
    const auto item = m_store->item(id);
    QVERIFY(item);
    QCOMPARE(item->title, std::optional<QString>(QStringLiteral("Orange Story")));
    QCOMPARE(item->summary, std::optional<QString>(QStringLiteral("All about oranges")));
    QCOMPARE(item->siteName, std::optional<QString>(QStringLiteral("Fruit Site")));
    QVERIFY(item->pageText && item->pageText->startsWith(QStringLiteral("Oranges are round.")));
    QCOMPARE(item->insight, std::optional<LinkInsight>(insightSaying(QStringLiteral("A page about oranges."))));
    QVERIFY(item->snapshotDate);
    QCOMPARE(item->pixelWidth, 1280);
    QCOMPARE(item->pixelHeight, 800);
    QCOMPARE(m_describedTitles, QStringList{QStringLiteral("Orange Story")});

    // The favicon at the size it was delivered in.
    QCOMPARE(item->faviconFilename, std::optional<QString>(id + ".png"));
    const QImage favicon(faviconPath(m_dir->path(), id + ".png"));
    QCOMPARE(favicon.size(), QSize(32, 32));

    // The page itself is the picture: orange, 1280 x 800, with thumbnail and cover.
    const QImage original(originalPath(m_dir->path(), item->storedFilename));
    QCOMPARE(original.size(), QSize(1280, 800));
    QCOMPARE(QColor(original.pixel(640, 700)).name(), QStringLiteral("#ff8000"));
    QCOMPARE(item->fileSize, std::optional<qint64>(QFileInfo(originalPath(m_dir->path(), item->storedFilename)).size()));
    const QImage thumbnail(thumbnailPath(m_dir->path(), item->thumbnailFilename));
    QCOMPARE(thumbnail.size(), QSize(1024, 640));
    QVERIFY(QFileInfo::exists(coverPath(m_dir->path(), item->thumbnailFilename)));

    QCOMPARE(m_dropped, QStringList{id});
    QCOMPARE(m_analysisRuns, 1);
    QCOMPARE(m_server.hits("/preview.png"), 0); // the snapshot made it unnecessary
}

void TestLinkPipeline::pageWithoutPictureGetsTheCover()
{
    setPageSnapshotFactory([] { return std::make_unique<BlankSnapshot>(); });
    const QString id = addLink(*m_store, m_server.url("/plain"), m_store->defaultBoardId());
    QVERIFY(runPipeline(*m_store, id));
    const auto item = m_store->item(id);
    QCOMPARE(item->title, std::optional<QString>(QStringLiteral("Plain Words")));
    QVERIFY(!item->summary && !item->siteName && !item->pageText);
    QVERIFY(item->snapshotDate);
    QVERIFY(!item->faviconFilename);

    const QImage original(originalPath(m_dir->path(), item->storedFilename));
    QCOMPARE(original.size(), QSize(1280, 800));
    // The card's gradient: white 0.17 at the top, 0.09 at the bottom.
    QVERIFY(std::abs(qGray(original.pixel(5, 0)) - 43) <= 2);
    QVERIFY(std::abs(qGray(original.pixel(5, 799)) - 23) <= 2);
    // The title box holds white text from y 270 (no icon); the domain below is grey.
    int brightest = 0;
    for (int y = 270; y < 335; ++y)
        for (int x = 96; x < 500; ++x)
            brightest = std::max(brightest, qGray(original.pixel(x, y)));
    QVERIFY(brightest > 240);
    // Exactly what renderLinkCover draws for this title and host.
    const auto expected = renderLinkCover(QStringLiteral("Plain Words"), QStringLiteral("127.0.0.1"), std::nullopt);
    QCOMPARE(original.convertToFormat(QImage::Format_RGB32), expected->convertToFormat(QImage::Format_RGB32));
}

void TestLinkPipeline::previewImageWhenThePageGivesNone()
{
    setPageSnapshotFactory([] { return std::make_unique<BlankSnapshot>(); });
    const QString id = addLink(*m_store, m_server.url("/og"), m_store->defaultBoardId());
    QVERIFY(runPipeline(*m_store, id));
    const auto item = m_store->item(id);
    QCOMPARE(item->title, std::optional<QString>(QStringLiteral("Orange Story")));
    // Summary and site name come only from the page itself.
    QVERIFY(!item->summary && !item->siteName && !item->pageText);
    QCOMPARE(item->pixelWidth, 600);
    QCOMPARE(item->pixelHeight, 300);
    const QImage original(originalPath(m_dir->path(), item->storedFilename));
    QCOMPARE(QColor(original.pixel(300, 150)), QColor(Qt::red));
}

void TestLinkPipeline::httpErrorPageIsStillAPage()
{
    const QString id = addLink(*m_store, m_server.url("/missing"), m_store->defaultBoardId());
    QVERIFY(runPipeline(*m_store, id));
    const auto item = m_store->item(id);
    // The metadata fetch failed; the rendered error page gives text and picture.
    QCOMPARE(item->title, std::optional<QString>(QStringLiteral("127.0.0.1")));
    QCOMPARE(item->pageText, std::optional<QString>(QStringLiteral("missing")));
    QVERIFY(item->snapshotDate);
    const QImage original(originalPath(m_dir->path(), item->storedFilename));
    QCOMPARE(QColor(original.pixel(640, 400)), QColor(Qt::white));
}

void TestLinkPipeline::closedPortGivesHostTitleAndKeepsEarlierData()
{
    // A site that answers once and is then gone.
    auto site = std::make_unique<LoopbackHttpServer>();
    QVERIFY(site->listen());
    const quint16 port = site->port();
    site->page("/og", "<html><head><meta property=\"og:title\" content=\"Good Title\">"
                      "<meta name=\"description\" content=\"Good summary\"></head>"
                      "<body style=\"background:#00ff00\">Good text</body></html>");
    const QString url = QStringLiteral("http://127.0.0.1:%1/og").arg(port);

    // Never reached: the host becomes the title, and the card the picture.
    site.reset();
    const QString fresh = addLink(*m_store, url, m_store->defaultBoardId());
    m_nextInsight.reset();
    QVERIFY(runPipeline(*m_store, fresh));
    auto item = m_store->item(fresh);
    QCOMPARE(item->title, std::optional<QString>(QStringLiteral("127.0.0.1")));
    QVERIFY(!item->pageText && !item->summary && !item->insight);
    QVERIFY(item->snapshotDate);
    QCOMPARE(m_describedTitles, QStringList{QStringLiteral("127.0.0.1")});
    const QImage cover(originalPath(m_dir->path(), item->storedFilename));
    QCOMPARE(cover.size(), QSize(1280, 800));
    QVERIFY(std::abs(qGray(cover.pixel(5, 0)) - 43) <= 2);

    // Now a good run first, then the site goes away and the refresh fails.
    site = std::make_unique<LoopbackHttpServer>();
    QVERIFY(site->listen());
    const QString url2 = site->url("/og");
    site->page("/og", "<html><head><meta property=\"og:title\" content=\"Good Title\">"
                      "<meta name=\"description\" content=\"Good summary\"></head>"
                      "<body style=\"background:#00ff00\">Good text</body></html>");
    const QString id = addLink(*m_store, url2, m_store->defaultBoardId());
    m_nextInsight = insightSaying(QStringLiteral("Good insight"));
    QVERIFY(runPipeline(*m_store, id));
    const Item good = *m_store->item(id);
    QCOMPARE(good.title, std::optional<QString>(QStringLiteral("Good Title")));
    QCOMPARE(good.pageText, std::optional<QString>(QStringLiteral("Good text")));
    QVERIFY(good.snapshotDate);
    const QByteArray picture = fileHash(originalPath(m_dir->path(), good.storedFilename));
    m_store->updateItem(id, [](Item &it) { it.palette = QStringList{"#00ff00"}; });

    site.reset();
    m_nextInsight.reset();
    m_dropped.clear();
    QVERIFY(runPipeline(*m_store, id));
    const Item after = *m_store->item(id);
    QCOMPARE(after.title, good.title);
    QCOMPARE(after.summary, good.summary);
    QCOMPARE(after.pageText, good.pageText);
    QCOMPARE(after.insight, good.insight);
    QCOMPARE(after.snapshotDate, good.snapshotDate);
    QCOMPARE(after.palette, std::optional<QStringList>(QStringList{"#00ff00"}));
    QCOMPARE(fileHash(originalPath(m_dir->path(), good.storedFilename)), picture);
    QVERIFY(m_dropped.isEmpty());
}

void TestLinkPipeline::userTagsSurviveARefresh()
{
    setPageSnapshotFactory([] { return std::make_unique<BlankSnapshot>(); });
    const QString id = addLink(*m_store, m_server.url("/plain"), m_store->defaultBoardId());
    m_store->updateItem(id, [](Item &it) {
        it.tags = QStringList{"Mine", "keep"};
        it.labels = QStringList{"old label"};
        it.ocrText = QStringLiteral("old text");
    });
    QVERIFY(runPipeline(*m_store, id));
    auto item = m_store->item(id);
    QCOMPARE(item->tags, std::optional<QStringList>(QStringList{"Mine", "keep"}));
    // The new picture's analysis is recomputed.
    QVERIFY(!item->labels && !item->ocrText && !item->palette);
    QVERIFY(runPipeline(*m_store, id));
    QCOMPARE(m_store->item(id)->tags, std::optional<QStringList>(QStringList{"Mine", "keep"}));
}

void TestLinkPipeline::itemDeletedDuringTheRunLeavesNoFiles()
{
    const QString id = addLink(*m_store, m_server.url("/og"), m_store->defaultBoardId());
    bool done = false;
    fetchLinkMetadata(*m_store, id, [&done] { done = true; });
    // Deleted once its favicon is on disk, while the page is being rendered.
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(faviconPath(m_dir->path(), id + ".png")), 10000);
    m_store->deletePermanently(id);
    QTRY_VERIFY_WITH_TIMEOUT(done, 40000);
    QVERIFY(!m_store->item(id));
    for (const char *folder : {"originals", "thumbnails", "covers", "favicons"}) {
        const QStringList left = QDir(m_dir->path() + "/" + folder).entryList(QDir::Files);
        QVERIFY2(left.filter(id).isEmpty(), folder);
    }
    QCOMPARE(m_analysisRuns, 1);
}

void TestLinkPipeline::refreshPicksInterruptedRuns()
{
    const QString board = m_store->defaultBoardId();
    const QString noText = addLink(*m_store, QStringLiteral("https://a.example/"), board);
    const QString cutOff = addLink(*m_store, QStringLiteral("https://b.example/"), board);
    const QString done = addLink(*m_store, QStringLiteral("https://c.example/"), board);
    m_store->updateItem(cutOff, [](Item &it) { it.pageText = QStringLiteral("text"); });
    m_store->updateItem(done, [](Item &it) {
        it.pageText = QStringLiteral("text");
        it.snapshotDate = 5.0;
    });
    m_store->trash({noText});
    QCOMPARE(linksToRefresh(*m_store), (QStringList{noText, cutOff}));
}

void TestLinkPipeline::regeneratesInsightAndMergesTags()
{
    const QString id = addLink(*m_store, QStringLiteral("https://d.example/page"), m_store->defaultBoardId());
    m_store->updateItem(id, [](Item &it) {
        it.tags = QStringList{"Design", "fruit"};
        it.snapshotDate = 7.0;
    });
    m_nextInsight = insightSaying(QStringLiteral("New"));
    m_nextInsight->suggestedTags = {"UI", "Fruit", "design"};
    bool done = false;
    generateLinkInsight(*m_store, id, [&done] { done = true; });
    QTRY_VERIFY(done);
    auto item = m_store->item(id);
    QCOMPARE(item->insight->summary, QStringLiteral("New"));
    QCOMPARE(item->tags, std::optional<QStringList>(QStringList{"Design", "fruit", "ui", "design"}));
    QCOMPARE(item->snapshotDate, std::optional<double>(7.0));
    QCOMPARE(m_describedTitles, QStringList{QStringLiteral("d")});

    // No answer changes nothing.
    m_nextInsight.reset();
    done = false;
    generateLinkInsight(*m_store, id, [&done] { done = true; });
    QTRY_VERIFY(done);
    QCOMPARE(m_store->item(id)->insight->summary, QStringLiteral("New"));
}

void TestLinkPipeline::refreshRunsOneLinkAtATime()
{
    setPageSnapshotFactory([] { return std::make_unique<BlankSnapshot>(); });
    const QString board = m_store->defaultBoardId();
    const QString a = addLink(*m_store, m_server.url("/plain"), board);
    const QString b = addLink(*m_store, m_server.url("/og"), board);
    int inFlight = 0;
    int most = 0;
    auto &services = LinkPipelineServices::installed();
    services.describeLink = [&](const QString &title, const QString &, const QString &,
                                LinkPipelineServices::InsightDone done) {
        m_describedTitles.append(title);
        most = std::max(most, ++inFlight);
        QTimer::singleShot(200, [&inFlight, done = std::move(done)] {
            --inFlight;
            done(std::nullopt);
        });
    };
    bool done = false;
    refreshLinkMetadata(*m_store, [&done] { done = true; });
    QTRY_VERIFY_WITH_TIMEOUT(done, 30000);
    QCOMPARE(most, 1);
    QCOMPARE(m_describedTitles, (QStringList{QStringLiteral("Plain Words"), QStringLiteral("Orange Story")}));
    QVERIFY(m_store->item(a)->snapshotDate && m_store->item(b)->snapshotDate);
}

void TestLinkPipeline::opensOnlyAddressesThatParse()
{
    QList<QUrl> opened;
    auto &services = LinkPipelineServices::installed();
    services.openURL = [&opened](const QUrl &url) { opened.append(url); };
    const QString id = addLink(*m_store, QStringLiteral("https://e.example/x"), m_store->defaultBoardId());
    openLink(*m_store, *m_store->item(id));
    QCOMPARE(opened, QList<QUrl>{QUrl(QStringLiteral("https://e.example/x"))});
    QCOMPARE(m_store->item(id)->openCount, std::optional<qint64>(1));

    Item broken = *m_store->item(id);
    broken.sourceURL = QStringLiteral("https://e.example/a b");
    openLink(*m_store, broken);
    broken.sourceURL.reset();
    openLink(*m_store, broken);
    QCOMPARE(opened.size(), 1);
    QCOMPARE(m_store->item(id)->openCount, std::optional<qint64>(1));
}

void TestLinkPipeline::allFactsComeFromOnePage_data()
{
    // Page A, red, leads on to page B, blue, in its own way.
    QTest::addColumn<QByteArray>("leave");
    QTest::addColumn<QByteArray>("start");
    QTest::newRow("script sets location") << QByteArray("<script>setTimeout(() => location.href = '/b', 30)</script>")
                                          << QByteArray("/a");
    QTest::newRow("script replaces at once") << QByteArray("<script>location.replace('/b')</script>") << QByteArray("/a");
    QTest::newRow("meta refresh") << QByteArray("<meta http-equiv=\"refresh\" content=\"0; url=/b\">") << QByteArray("/a");
    QTest::newRow("form submitted") << QByteArray("<form id=f action=\"/b\"></form><script>f.submit()</script>")
                                    << QByteArray("/a");
    // An HTTP redirect is followed: the page it settles on is the one page.
    QTest::newRow("after an HTTP redirect") << QByteArray("<script>location.href = '/b'</script>")
                                            << QByteArray("/to-a");
}

void TestLinkPipeline::allFactsComeFromOnePage()
{
    QFETCH(QByteArray, leave);
    QFETCH(QByteArray, start);
    LoopbackHttpServer site;
    QVERIFY(site.listen());
    site.page("/a", "<html><head><title>Page A</title><meta name=\"description\" content=\"About A\">"
                    "<meta property=\"og:site_name\" content=\"Site A\">" + leave +
                    "<style>html,body{margin:0;background:#ff0000}</style></head><body>Text of A</body></html>");
    site.page("/b", "<html><head><title>Page B</title><meta name=\"description\" content=\"About B\">"
                    "<meta property=\"og:site_name\" content=\"Site B\">"
                    "<style>html,body{margin:0;background:#0000ff}</style></head><body>Text of B</body></html>");
    site.redirect("/to-a", "/a");
    const QString id = addLink(*m_store, site.url(QString::fromLatin1(start)), m_store->defaultBoardId());
    QVERIFY(runPipeline(*m_store, id));
    const auto item = m_store->item(id);
    QCOMPARE(item->title, std::optional<QString>(QStringLiteral("Page A")));
    QCOMPARE(item->summary, std::optional<QString>(QStringLiteral("About A")));
    QCOMPARE(item->siteName, std::optional<QString>(QStringLiteral("Site A")));
    QCOMPARE(item->pageText, std::optional<QString>(QStringLiteral("Text of A")));
    const QImage original(originalPath(m_dir->path(), item->storedFilename));
    QCOMPARE(QColor(original.pixel(640, 700)).name(), QStringLiteral("#ff0000"));
    // One download of the page served it all.
    QCOMPARE(site.hits("/a"), 1);
    QCOMPARE(site.hits("/b"), 0);
}

void TestLinkPipeline::onePageIsReadInOneCharset_data()
{
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<QByteArray>("encoding");
    QTest::newRow("made-up label, Latin-1 bytes") << QByteArray("text/html; charset=x-no-such-charset") << QByteArray()
                                                  << QByteArray("ISO-8859-1");
    QTest::newRow("made-up label, UTF-8 bytes") << QByteArray("text/html; charset=x-no-such-charset") << QByteArray()
                                                << QByteArray("UTF-8");
    QTest::newRow("made-up label, meta names Latin-1")
        << QByteArray("text/html; charset=\"x-no-such-charset\"") << QByteArray("<meta charset=\"iso-8859-1\">")
        << QByteArray("ISO-8859-1");
    QTest::newRow("no label, Latin-1 bytes") << QByteArray("text/html") << QByteArray() << QByteArray("ISO-8859-1");
    QTest::newRow("label wins over meta") << QByteArray("text/html; charset=utf-8")
                                          << QByteArray("<meta charset=\"iso-8859-1\">") << QByteArray("UTF-8");
    QTest::newRow("windows-1252 label") << QByteArray("text/html; charset=windows-1252") << QByteArray()
                                        << QByteArray("ISO-8859-1");
}

void TestLinkPipeline::onePageIsReadInOneCharset()
{
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, head);
    QFETCH(QByteArray, encoding);
    const QString greeting = QStringLiteral("Grüße aus Köln");
    const QByteArray html = "<html><head>" + head + "<title>Grüße</title></head><body>Grüße aus Köln</body></html>";
    QStringEncoder encoder(encoding.constData());
    const QByteArray bytes = encoder(QString::fromUtf8(html));
    m_server.set("/greeting", {200, contentType, bytes, {}, false});
    const QString id = addLink(*m_store, m_server.url("/greeting"), m_store->defaultBoardId());
    QVERIFY(runPipeline(*m_store, id));
    const auto item = m_store->item(id);
    // The title is read from the download, the text from the rendered page.
    QCOMPARE(item->title, std::optional<QString>(QStringLiteral("Grüße")));
    QCOMPARE(item->pageText, std::optional<QString>(greeting));
}

void TestLinkPipeline::snapshotsWaitTheirTurn()
{
    // Snapshots that take a while, counting how many run at once.
    struct Counter {
        int now = 0;
        int most = 0;
        int made = 0;
    } counter;
    class SlowSnapshot final : public PageSnapshotRun {
    public:
        explicit SlowSnapshot(Counter &c) : m_counter(c) { ++m_counter.made; }
        ~SlowSnapshot() override { --m_counter.now; }
        void run(const QString &, std::function<void(PageSnapshotResult)> done) override
        {
            m_counter.most = std::max(m_counter.most, ++m_counter.now);
            QTimer::singleShot(150, [done = std::move(done)] { done({}); });
        }

    private:
        Counter &m_counter;
    };
    setPageSnapshotFactory([&counter] { return std::make_unique<SlowSnapshot>(counter); });
    const QString board = m_store->defaultBoardId();
    int finished = 0;
    for (int i = 0; i < 6; ++i) {
        m_server.page("/turn" + QByteArray::number(i), "<html><head><title>Turn</title></head><body>t</body></html>");
        const QString id = addLink(*m_store, m_server.url(QStringLiteral("/turn%1").arg(i)), board);
        fetchLinkMetadata(*m_store, id, [&finished] { ++finished; });
    }
    QTRY_COMPARE_WITH_TIMEOUT(finished, 6, 30000);
    QCOMPARE(counter.made, 6);
    QCOMPARE(counter.most, kSnapshotsAtOnce);
}

int main(int argc, char **argv)
{
    preparePageSnapshots();
    QApplication app(argc, argv);
    TestLinkPipeline test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_linkpipeline.moc"
