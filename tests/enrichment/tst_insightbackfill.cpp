// Link items saved while no model was set get their insight once one is:
// in the background, one at a time, pausing while the model rests.
#include "FakeModelServer.h"
#include "enrichment/LinkPipeline.h"
#include "library/LibraryStore.h"
#include "platform/Defaults.h"
#include "platform/LanguageModel.h"

#include <QGuiApplication>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace vellora;

namespace {

Item link(const QString &id, const QString &title, std::optional<QString> pageText)
{
    Item it;
    it.id = id;
    it.kind = QStringLiteral("link");
    it.originalFilename = QStringLiteral("example.com");
    it.storedFilename = id + ".png";
    it.thumbnailFilename = id + ".jpg";
    it.pixelWidth = 1280;
    it.pixelHeight = 800;
    it.contentHash = "link:https://example.com/" + id;
    it.sourceURL = "https://example.com/" + id;
    it.title = title;
    it.pageText = std::move(pageText);
    it.snapshotDate = 1.0;
    it.collectionIds = {QStringLiteral("B1")};
    return it;
}

FakeModelServer::Reply insightReply()
{
    return FakeModelServer::answer(nlohmann::json{
        {"summary", "A page."},
        {"keyPoints", {"one"}},
        {"category", "article"},
        {"entities", {{"productName", nullptr}, {"price", nullptr}, {"author", nullptr}, {"publishDate", nullptr}}},
        {"suggestedTags", {"Page"}}});
}

// The titles of the pages the model was asked to describe, in order.
QStringList describedTitles(const FakeModelServer &server)
{
    QStringList titles;
    for (const auto &request : server.requests()) {
        const QString prompt = request.user();
        if (prompt.startsWith(QStringLiteral("Title: ")))
            titles << prompt.mid(7, prompt.indexOf(u'\n') - 7);
    }
    return titles;
}

} // namespace

class TestInsightBackfill : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void describesLinksOnceAModelIsNamed();
    void pausesWhileTheModelRestsAndGoesOn();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<LibraryStore> m_store;
};

void TestInsightBackfill::init()
{
    Defaults::standard().remove(QString::fromLatin1(kLanguageModelURLKey));
    LanguageModel::endAllRests();
    m_dir = std::make_unique<QTemporaryDir>();
    m_store = std::make_unique<LibraryStore>(m_dir->path(), false);
    QVERIFY(m_store->loaded());
    Item trashed = link("T", "Trashed", QStringLiteral("text"));
    trashed.trashedAt = 2.0;
    Item described = link("D", "Described", QStringLiteral("text"));
    described.insight = LinkInsight{QStringLiteral("Old."), {}, QStringLiteral("other"), {}, {}};
    m_store->appendItems({link("A", "First", QStringLiteral("Text of the first")), trashed, described,
                          link("N", "No text", std::nullopt), link("B", "Second", QStringLiteral("Text of the second"))});
}

void TestInsightBackfill::cleanup()
{
    m_store.reset();
    m_dir.reset();
    Defaults::standard().remove(QString::fromLatin1(kLanguageModelURLKey));
}

void TestInsightBackfill::describesLinksOnceAModelIsNamed()
{
    FakeModelServer server;
    server.setStanding(insightReply());
    auto *backfill = new InsightBackfill(*m_store);
    backfill->start();
    QTest::qWait(300);
    QCOMPARE(server.requestCount(), 0); // no model named yet

    Defaults::standard().set(QString::fromLatin1(kLanguageModelURLKey), server.url().toString());
    QTRY_VERIFY_WITH_TIMEOUT(m_store->item("B")->insight.has_value(), 10000);
    QTRY_VERIFY(!backfill->running());
    QCOMPARE(describedTitles(server), (QStringList{"First", "Second"}));
    QCOMPARE(m_store->item("A")->insight->summary, QStringLiteral("A page."));
    QCOMPARE(m_store->item("B")->insight->summary, QStringLiteral("A page."));
    QCOMPARE(m_store->item("B")->tags, std::optional<QStringList>(QStringList{"page"}));
    QCOMPARE(m_store->item("D")->insight->summary, QStringLiteral("Old."));
    QVERIFY(!m_store->item("T")->insight && !m_store->item("N")->insight);

    // Nothing left to describe: later passes ask nothing.
    m_store->updateItem("A", [](Item &it) { it.title = QStringLiteral("Renamed"); });
    QTest::qWait(1500);
    QCOMPARE(server.requestCount(), 2);
}

void TestInsightBackfill::pausesWhileTheModelRestsAndGoesOn()
{
    FakeModelServer server;
    server.enqueue({500, QByteArrayLiteral("{}"), false});
    server.setStanding(insightReply());
    Defaults::standard().set(QString::fromLatin1(kLanguageModelURLKey), server.url().toString());
    auto *backfill = new InsightBackfill(*m_store);
    backfill->start();
    // The first request fails: the model rests and the pass waits.
    QTRY_COMPARE_WITH_TIMEOUT(server.requestCount(), 1, 10000);
    QTRY_VERIFY(!backfill->running());
    QVERIFY(LanguageModel::systemDefault().isResting());
    QTest::qWait(500);
    QCOMPARE(server.requestCount(), 1);
    QVERIFY(!m_store->item("A")->insight);

    // Its rest ends (as a good answer to the settings' test ends it): the
    // pass goes on, one item after the other, the failed one included.
    LanguageModel::systemDefault().rest(0);
    QTRY_VERIFY_WITH_TIMEOUT(m_store->item("B")->insight.has_value(), 10000);
    QVERIFY(m_store->item("A")->insight);
    QCOMPARE(describedTitles(server), (QStringList{"First", "First", "Second"}));
}

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    TestInsightBackfill test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_insightbackfill.moc"
