// A link that came from someone else's share must never make this machine
// ask itself or its local network for anything, whichever road the request
// takes: a redirect, a name that answers differently the second time, the
// page's icon or preview image, or what the page loads in its snapshot.
//
// The servers of a test can only listen on this machine, so the judgement
// is moved one step: 127.0.0.1 (where the pages are served) counts as a
// public address here, everything else local stays forbidden, and traps
// on 127.0.0.2 and ::1, on the same port, count every connection made to
// them. Each road is run for an item of the user's own too, which must
// still reach the trap: that shows the road really leads there.

#include "LoopbackHttpServer.h"
#include "SeamGuard.h"
#include "enrichment/AddressPolicy.h"
#include "enrichment/LinkPipeline.h"
#include "enrichment/PageSnapshot.h"
#include "library/LibraryStore.h"
#include "platform/WebAddress.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QSet>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <optional>

#include "../library/PictureFixtures.h"

using namespace vellora;

namespace {

const QHostAddress kServed(QStringLiteral("127.0.0.1"));
const QHostAddress kTrapped(QStringLiteral("127.0.0.2"));

// Counts the connections made to an address and closes each at once.
class Trap : public QObject {
public:
    bool listen(const QHostAddress &address, quint16 port)
    {
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                ++m_connections;
                socket->close();
                socket->deleteLater();
            }
        });
        return m_server.listen(address, port);
    }
    int connections() const { return m_connections; }

private:
    QTcpServer m_server;
    int m_connections = 0;
};

// A snapshot that renders nothing, so that the pipeline goes on to the
// page's preview image.
class BlankSnapshot final : public PageSnapshotRun {
public:
    void run(const QString &, std::function<void(PageSnapshotResult)> done) override
    {
        QTimer::singleShot(0, [done = std::move(done)] { done({}); });
    }
};

bool runPipeline(LibraryStore &store, const QString &id)
{
    bool done = false;
    fetchLinkMetadata(store, id, [&done] { done = true; });
    QElapsedTimer clock;
    clock.start();
    while (!done && clock.elapsed() < 60000)
        QTest::qWait(20);
    return done;
}

} // namespace

class TestLinkAddressPolicy : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void sharedLinksNeverReachTheLocalNetwork_data();
    void sharedLinksNeverReachTheLocalNetwork();
    void oneAddressIsJudgedAndConnectedTo_data();
    void oneAddressIsJudgedAndConnectedTo();
    void theServerHearsTheNameItWasAskedBy();

private:
    QString address(QString text) const { return text.replace(QStringLiteral("PORT"), QString::number(m_server.port())); }
    // Connections to the traps, and requests that reached the served
    // address through a name of this machine.
    int trapped() const
    {
        return m_trap.connections() + (m_trap6 ? m_trap6->connections() : 0) + m_server.hits("/admin");
    }

    LoopbackHttpServer m_server;
    Trap m_trap;
    std::unique_ptr<Trap> m_trap6;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<LibraryStore> m_store;
    QSet<QString> m_fromOthers;
    std::optional<SeamGuard> m_seams;
    // How often each name was looked up.
    QHash<QString, int> m_lookups;
};

void TestLinkAddressPolicy::initTestCase()
{
    QVERIFY(m_server.listen());
    QVERIFY(m_trap.listen(kTrapped, m_server.port()));
    m_trap6 = std::make_unique<Trap>();
    if (!m_trap6->listen(QHostAddress::LocalHostIPv6, m_server.port()))
        m_trap6.reset();

    auto page = [this](const QByteArray &path, const QByteArray &title, const QByteArray &head,
                       const QByteArray &body = "<p>words</p>") {
        m_server.page(path, "<html><head><title>" + title + "</title>" + address(QString::fromLatin1(head)).toLatin1()
                                + "</head><body>" + address(QString::fromLatin1(body)).toLatin1() + "</body></html>");
    };
    m_server.redirect("/to-loopback", address(QStringLiteral("http://127.0.0.2:PORT/admin")).toLatin1());
    m_server.redirect("/to-mapped", address(QStringLiteral("http://[::ffff:127.0.0.2]:PORT/admin")).toLatin1());
    m_server.redirect("/to-v6-loopback", address(QStringLiteral("http://[::1]:PORT/admin")).toLatin1());
    m_server.redirect("/to-localhost", address(QStringLiteral("http://localhost:PORT/admin")).toLatin1());
    // A redirect to a public address is followed as ever.
    m_server.redirect("/to-public", "/plain");
    page("/plain", "Plain page", "");
    page("/icon", "Icon page", "<link rel=\"icon\" href=\"http://127.0.0.2:PORT/icon.png\" sizes=\"32x32\">");
    page("/preview", "Preview page", "<meta property=\"og:image\" content=\"http://127.0.0.2:PORT/cover.png\">");
    page("/loads", "Loading page",
         "<link rel=\"stylesheet\" href=\"http://127.0.0.2:PORT/style.css\">"
         "<link rel=\"prefetch\" href=\"http://127.0.0.2:PORT/next\">",
         "<img src=\"http://127.0.0.2:PORT/pic.png\"><script src=\"http://127.0.0.2:PORT/app.js\"></script>"
         "<iframe src=\"http://127.0.0.2:PORT/frame\"></iframe><img src=\"http://localhost:PORT/admin\">"
         "<p>words</p>");
    page("/rebound", "Rebound page", "<link rel=\"icon\" href=\"/icon.png\" sizes=\"32x32\">");
    m_server.set("/icon.png", {200, "image/png", fixtures::pngBytes(32, 32, Qt::blue), {}, false});

    installPageSnapshots();
    auto &services = LinkPipelineServices::installed();
    services.describeLink = [](const QString &, const QString &, const QString &, LinkPipelineServices::InsightDone done) {
        QTimer::singleShot(0, [done = std::move(done)] { done(std::nullopt); });
    };
    services.openURL = [](const QUrl &) {};
    services.cameFromOthers = [this](const LibraryStore &, const QString &id) { return m_fromOthers.contains(id); };
}

void TestLinkAddressPolicy::init()
{
    m_seams.emplace();
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_store = std::make_unique<LibraryStore>(m_dir->path(), false);
    m_fromOthers.clear();
    m_lookups.clear();
    auto &rules = AddressPolicy::Rules::installed();
    rules.forbidden = [](const QHostAddress &a) {
        return isLocalNetworkAddress(a) && !a.isEqual(kServed, QHostAddress::ConvertV4MappedToIPv4);
    };
    // Names of the test: one that answers the served address the first time
    // and the trap after, and one that answers both.
    rules.lookUp = [this](const QString &name, QObject *context, std::function<void(QList<QHostAddress>)> done) {
        const int asked = ++m_lookups[name];
        QList<QHostAddress> found;
        if (name == QLatin1String("rebind.test"))
            found = {asked == 1 ? kServed : kTrapped};
        else if (name == QLatin1String("both.test"))
            found = {kServed, kTrapped};
        QTimer::singleShot(0, context, [done = std::move(done), found] { done(found); });
    };
}

void TestLinkAddressPolicy::cleanup()
{
    m_store.reset();
    m_dir.reset();
    m_seams.reset();
}

void TestLinkAddressPolicy::sharedLinksNeverReachTheLocalNetwork_data()
{
    QTest::addColumn<QString>("url");
    // The user's own item reaches the trap on the same road (false where
    // only the test's names lead there).
    QTest::addColumn<bool>("ownReaches");
    // The page itself could be had, so the shared item learns its title.
    QTest::addColumn<QString>("title");
    QTest::addColumn<bool>("blankSnapshots");

    QTest::newRow("redirect to a loopback address") << "http://127.0.0.1:PORT/to-loopback" << true << "" << false;
    QTest::newRow("redirect to IPv4 inside IPv6") << "http://127.0.0.1:PORT/to-mapped" << true << "" << false;
    QTest::newRow("redirect to IPv6 loopback") << "http://127.0.0.1:PORT/to-v6-loopback" << true << "" << false;
    QTest::newRow("redirect to localhost") << "http://127.0.0.1:PORT/to-localhost" << true << "" << false;
    QTest::newRow("name that answers a local address the second time") << "http://rebind.test:PORT/rebound" << false
                                                                       << "Rebound page" << false;
    QTest::newRow("favicon at a local address") << "http://127.0.0.1:PORT/icon" << true << "Icon page" << false;
    QTest::newRow("preview image at a local address") << "http://127.0.0.1:PORT/preview" << true << "Preview page"
                                                      << true;
    QTest::newRow("snapshot loads from a local address") << "http://127.0.0.1:PORT/loads" << true << "Loading page"
                                                         << false;
}

void TestLinkAddressPolicy::sharedLinksNeverReachTheLocalNetwork()
{
    QFETCH(QString, url);
    QFETCH(bool, ownReaches);
    QFETCH(QString, title);
    QFETCH(bool, blankSnapshots);
    url = address(url);
    if ((url.contains(QLatin1String("v6-loopback")) || url.contains(QLatin1String("localhost"))) && !m_trap6)
        QSKIP("no IPv6 loopback here");
    if (blankSnapshots)
        setPageSnapshotFactory([] { return std::make_unique<BlankSnapshot>(); });

    if (ownReaches) {
        QTemporaryDir ownDir;
        LibraryStore ownStore(ownDir.path(), false);
        const int before = trapped();
        QVERIFY(runPipeline(ownStore, addLink(ownStore, url, {})));
        QTRY_VERIFY_WITH_TIMEOUT(trapped() > before, 5000);
    }

    const int before = trapped();
    const QString id = addLink(*m_store, url, {});
    m_store->updateItem(id, [](Item &it) {
        it.title = QStringLiteral("Nice chairs");
        it.snapshotDate = 800000000.0;
    });
    m_fromOthers.insert(id);
    QVERIFY(runPipeline(*m_store, id));
    // Whatever the engine would still send has had its time.
    QTest::qWait(300);
    QCOMPARE(trapped(), before);
    const Item item = *m_store->item(id);
    if (title.isEmpty()) {
        // No page: the item keeps what came with it.
        QCOMPARE(item.title, std::optional<QString>(QStringLiteral("Nice chairs")));
        QCOMPARE(item.snapshotDate, std::optional<double>(800000000.0));
        QVERIFY(!item.pageText);
        QVERIFY(!item.faviconFilename);
    } else {
        QCOMPARE(item.title, std::optional<QString>(title));
        // The page was shown in the snapshot all the same, just without
        // what it would have loaded from the local network.
        if (!blankSnapshots)
            QVERIFY(item.pageText && item.pageText->contains(QLatin1String("words")));
    }
}

// What a restricted fetch connects to, one step at a time.
void TestLinkAddressPolicy::oneAddressIsJudgedAndConnectedTo_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<bool>("had");
    QTest::addColumn<int>("lookups"); // of the name in the address
    QTest::newRow("public address") << "http://127.0.0.1:PORT/plain" << true << 0;
    QTest::newRow("redirect to a public address") << "http://127.0.0.1:PORT/to-public" << true << 0;
    QTest::newRow("name looked up once, connected to its address") << "http://rebind.test:PORT/plain" << true << 1;
    QTest::newRow("name answering public and local") << "http://both.test:PORT/plain" << false << 1;
    QTest::newRow("name without an address") << "http://nowhere.invalid:PORT/plain" << false << 1;
    QTest::newRow("localhost, not even looked up") << "http://localhost:PORT/plain" << false << 0;
    QTest::newRow("a name under localhost") << "http://shop.localhost:PORT/plain" << false << 0;
}

void TestLinkAddressPolicy::oneAddressIsJudgedAndConnectedTo()
{
    QFETCH(QString, url);
    QFETCH(bool, had);
    QFETCH(int, lookups);
    url = address(url);
    const int before = m_server.hits("/plain");
    const int trappedBefore = trapped();
    LinkMetadataFetcher fetcher;
    fetcher.setAddressPolicy(AddressPolicy::publicOnly());
    std::optional<std::optional<FetchedPage>> answer;
    fetcher.fetchPage(url, [&answer](std::optional<FetchedPage> page) { answer = std::move(page); });
    QTRY_VERIFY_WITH_TIMEOUT(answer.has_value(), 20000);
    QCOMPARE(answer->has_value(), had);
    QCOMPARE(m_server.hits("/plain") - before, had ? 1 : 0);
    QCOMPARE(trapped(), trappedBefore);
    QCOMPARE(m_lookups.value(QUrl(url).host()), lookups);
    if (had) {
        // The page says where it came from by the name it was asked by, so
        // that what it refers to resolves against that.
        QCOMPARE((*answer)->url, QUrl(url).resolved(QUrl(QStringLiteral("/plain"))));
        QVERIFY((*answer)->text.contains(QLatin1String("Plain page")));
    }
}

// The request goes to the judged address, but a server that serves many
// sites by name still learns which one was asked for.
void TestLinkAddressPolicy::theServerHearsTheNameItWasAskedBy()
{
    LoopbackHttpServer recorder;
    QVERIFY(recorder.listen());
    recorder.setFallback({200, "text/html", "<html><head><title>Heard</title></head></html>"});
    LinkMetadataFetcher fetcher;
    fetcher.setAddressPolicy(AddressPolicy::publicOnly());
    std::optional<std::optional<LinkMetadata>> answer;
    const QString url = QStringLiteral("http://rebind.test:%1/page").arg(recorder.port());
    fetcher.fetch(url, [&answer](std::optional<LinkMetadata> metadata) { answer = std::move(metadata); });
    QTRY_VERIFY_WITH_TIMEOUT(answer.has_value(), 20000);
    QVERIFY(answer->has_value());
    QCOMPARE((*answer)->title, std::optional<QString>(QStringLiteral("Heard")));
    QVERIFY2(recorder.lastHead().contains("\r\nHost: rebind.test:" + QByteArray::number(recorder.port()) + "\r\n"),
             recorder.lastHead().constData());
    // The site's own icon is where the page said it came from: by name.
    QCOMPARE((*answer)->iconCandidates.value(0), QUrl(QStringLiteral("http://rebind.test:%1/favicon.ico").arg(recorder.port())));
}

QTEST_MAIN(TestLinkAddressPolicy)
#include "tst_linkaddresspolicy.moc"
