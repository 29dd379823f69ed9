#include "LoopbackHttpServer.h"
#include "ProcessTreeMemory.h"
#include "enrichment/PageSnapshot.h"
#include "enrichment/PageUserAgent.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <signal.h>

using namespace vellora;

namespace {

struct Outcome {
    bool done = false;
    int calls = 0;
    PageSnapshot::Result result;
};

// Runs one snapshot to its end (or the test's own limit) and counts the
// times the callback came.
Outcome snap(const QString &url, int limitMs = 30000)
{
    Outcome outcome;
    auto snapshot = std::make_unique<PageSnapshot>();
    snapshot->run(url, [&outcome](PageSnapshot::Result r) {
        outcome.done = true;
        outcome.calls += 1;
        outcome.result = std::move(r);
    });
    QElapsedTimer clock;
    clock.start();
    while (!outcome.done && clock.elapsed() < limitMs)
        QTest::qWait(20);
    // Late callbacks must not come; give them a moment to show themselves.
    QTest::qWait(100);
    return outcome;
}

QRgb centre(const QImage &image) { return image.pixel(image.width() / 2, image.height() / 2); }

} // namespace

class TestPageSnapshot : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void rendersAndReadsAPage();
    void takesTheFirstDescriptionInDocumentOrder();
    void emptyTitleAndDescriptionAreAbsent();
    void httpErrorPageCountsAsLoaded();
    void closedPortGivesEmptyResultOnce();
    void slowPageTimesOutAfterTenSeconds();
    void twoRunsAtOnceKeepTheirOwnPages();
    void pageThatHangsAfterLoadingStillEnds();
    void localFilesStayOutOfThePicture();
    void droppedMidRunCallsNothing_data();
    void droppedMidRunCallsNothing();
    void endedRendererGivesThePageOnce_data();
    void endedRendererGivesThePageOnce();

private:
    LoopbackHttpServer m_server;
};

void TestPageSnapshot::initTestCase()
{
    QVERIFY(m_server.listen());
    QByteArray body(10000, 'x');
    m_server.page("/page",
                  "<html><head><title>Orange Page</title>"
                  "<meta name=\"description\" content=\"About oranges\">"
                  "<meta property=\"og:description\" content=\"Later description\">"
                  "<meta property=\"og:site_name\" content=\"Fruit Site\">"
                  "<style>html,body{margin:0;background:#ff8000;}"
                  "@keyframes fade{from{opacity:0}to{opacity:1}} p{animation:fade 60s}</style></head>"
                  "<body><p>" + body + "</p></body></html>");
    m_server.page("/og-first",
                  "<html><head><meta property=\"og:description\" content=\"First\">"
                  "<meta name=\"description\" content=\"Second\"></head><body>x</body></html>");
    m_server.page("/bare", "<html><head><title></title></head>"
                           "<body style=\"background:#0000ff\">Only text</body></html>");
    m_server.set("/gone", {404, "text/html", "<html><head><title>Not here</title></head>"
                                             "<body style=\"background:#00ff00\">404</body></html>", {}, false});
    m_server.set("/slow", {200, "text/html", {}, {}, true});
    // Loads, then its script never yields the page's thread again.
    m_server.page("/busy", "<html><head><title>Busy</title></head><body style=\"background:#ff0000\">"
                           "<script>addEventListener('load', () => setTimeout(() => { for (;;) {} }, 100));"
                           "</script>busy</body></html>");
}

void TestPageSnapshot::rendersAndReadsAPage()
{
    const Outcome o = snap(m_server.url("/page"));
    QVERIFY(o.done);
    QCOMPARE(o.calls, 1);
    QVERIFY(o.result.image);
    QCOMPARE(o.result.image->size(), QSize(1280, 800));
    const QRgb c = centre(*o.result.image);
    QVERIFY2(qRed(c) > 240 && qGreen(c) > 110 && qGreen(c) < 150 && qBlue(c) < 20,
             qPrintable(QColor(c).name()));
    QCOMPARE(o.result.title, std::optional<QString>(QStringLiteral("Orange Page")));
    QCOMPARE(o.result.summary, std::optional<QString>(QStringLiteral("About oranges")));
    QCOMPARE(o.result.siteName, std::optional<QString>(QStringLiteral("Fruit Site")));
    QVERIFY(o.result.text);
    QCOMPARE(o.result.text->size(), 6000);
    QCOMPARE(*o.result.text, QString(6000, u'x'));
    QCOMPARE(m_server.lastUserAgent(), QByteArray(kPageUserAgent));
}

void TestPageSnapshot::takesTheFirstDescriptionInDocumentOrder()
{
    const Outcome o = snap(m_server.url("/og-first"));
    QCOMPARE(o.result.summary, std::optional<QString>(QStringLiteral("First")));
    QVERIFY(!o.result.title);
    QVERIFY(!o.result.siteName);
}

void TestPageSnapshot::emptyTitleAndDescriptionAreAbsent()
{
    const Outcome o = snap(m_server.url("/bare"));
    QVERIFY(o.done);
    QVERIFY(!o.result.title);
    QVERIFY(!o.result.summary);
    QCOMPARE(o.result.text, std::optional<QString>(QStringLiteral("Only text")));
    QVERIFY(o.result.image);
    QCOMPARE(QColor(centre(*o.result.image)).name(), QStringLiteral("#0000ff"));
}

void TestPageSnapshot::httpErrorPageCountsAsLoaded()
{
    const Outcome o = snap(m_server.url("/gone"));
    QVERIFY(o.done);
    QCOMPARE(o.result.title, std::optional<QString>(QStringLiteral("Not here")));
    QVERIFY(o.result.image);
    QCOMPARE(QColor(centre(*o.result.image)).name(), QStringLiteral("#00ff00"));
}

void TestPageSnapshot::closedPortGivesEmptyResultOnce()
{
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 port = probe.serverPort();
    probe.close();
    QElapsedTimer clock;
    clock.start();
    const Outcome o = snap(QStringLiteral("http://127.0.0.1:%1/").arg(port));
    QVERIFY(o.done);
    QCOMPARE(o.calls, 1);
    QVERIFY(clock.elapsed() < 9000);
    QVERIFY(!o.result.image && !o.result.title && !o.result.summary && !o.result.siteName && !o.result.text);
}

void TestPageSnapshot::slowPageTimesOutAfterTenSeconds()
{
    QElapsedTimer clock;
    clock.start();
    const Outcome o = snap(m_server.url("/slow"));
    QVERIFY(o.done);
    QCOMPARE(o.calls, 1);
    QVERIFY2(clock.elapsed() >= 9900 && clock.elapsed() < 14000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(!o.result.image && !o.result.title && !o.result.text);
}

void TestPageSnapshot::twoRunsAtOnceKeepTheirOwnPages()
{
    std::optional<PageSnapshot::Result> first, second;
    auto a = std::make_unique<PageSnapshot>();
    auto b = std::make_unique<PageSnapshot>();
    a->run(m_server.url("/bare"), [&first](PageSnapshot::Result r) { first = std::move(r); });
    b->run(m_server.url("/gone"), [&second](PageSnapshot::Result r) { second = std::move(r); });
    QTRY_VERIFY_WITH_TIMEOUT(first && second, 30000);
    QVERIFY(first->image && second->image);
    QCOMPARE(QColor(centre(*first->image)).name(), QStringLiteral("#0000ff"));
    QCOMPARE(QColor(centre(*second->image)).name(), QStringLiteral("#00ff00"));
    QCOMPARE(second->title, std::optional<QString>(QStringLiteral("Not here")));
    QVERIFY(!first->title);
}

void TestPageSnapshot::pageThatHangsAfterLoadingStillEnds()
{
    // The scripts never answer; the run must still end, once, without text.
    const Outcome o = snap(m_server.url("/busy"), 60000);
    QVERIFY(o.done);
    QCOMPARE(o.calls, 1);
    QVERIFY(!o.result.title && !o.result.text);
}

void TestPageSnapshot::localFilesStayOutOfThePicture()
{
    // The page is shown from memory; a picture on this computer that it
    // names must not show in its snapshot.
    QTemporaryDir dir;
    QImage red(64, 64, QImage::Format_RGB32);
    red.fill(Qt::red);
    const QString path = dir.filePath("red.png");
    QVERIFY(red.save(path));
    LoopbackHttpServer server;
    QVERIFY(server.listen());
    server.page("/local", "<html><body style=\"margin:0;background:#ffffff\"><img src=\"file://" + path.toUtf8()
                              + "\" style=\"position:fixed;left:0;top:0;width:100%;height:100%\"></body></html>");
    const Outcome o = snap(server.url("/local"));
    QVERIFY(o.result.image);
    QCOMPARE(QColor(centre(*o.result.image)).name(), QStringLiteral("#ffffff"));
}

void TestPageSnapshot::droppedMidRunCallsNothing_data()
{
    QTest::addColumn<int>("afterMs");
    QTest::newRow("while loading") << 0;
    QTest::newRow("while settling") << 1500;
    QTest::newRow("around the scripts") << 2550;
}

void TestPageSnapshot::droppedMidRunCallsNothing()
{
    QFETCH(int, afterMs);
    int calls = 0;
    auto snapshot = std::make_unique<PageSnapshot>();
    snapshot->run(m_server.url("/page"), [&calls](PageSnapshot::Result) { ++calls; });
    QTest::qWait(afterMs);
    snapshot.reset();
    QTest::qWait(500);
    QCOMPARE(calls, 0);
}

void TestPageSnapshot::endedRendererGivesThePageOnce_data()
{
    QTest::addColumn<int>("afterMs");
    QTest::addColumn<int>("ends");
    QTest::newRow("as it starts") << 0 << 1;
    QTest::newRow("while settling") << 1500 << 1;
    QTest::newRow("around the scripts") << 2550 << 1;
    QTest::newRow("and the one shown again") << 0 << 2;
}

void TestPageSnapshot::endedRendererGivesThePageOnce()
{
    // A renderer ended from outside (as one over its memory is): the page
    // is shown again, and the run still ends once, with all of the page
    // but its pictures. Should the page's second renderer end too, the
    // run ends, once, with nothing.
    QFETCH(int, afterMs);
    QFETCH(int, ends);
    QList<qint64> seen = fixtures::engineRenderers(); // of earlier runs, going
    Outcome o;
    auto snapshot = std::make_unique<PageSnapshot>();
    snapshot->run(m_server.url("/page"), [&o](PageSnapshot::Result r) {
        o.done = true;
        o.calls += 1;
        o.result = std::move(r);
    });
    for (int i = 0; i < ends; ++i) {
        QList<qint64> started;
        QTRY_VERIFY_WITH_TIMEOUT(!(started = fixtures::engineRenderers(), started.removeIf([&seen](qint64 pid) {
                                       return seen.contains(pid);
                                   }),
                                   started)
                                      .isEmpty(),
                                 10000);
        QTest::qWait(afterMs);
        QVERIFY(!o.done);
        for (qint64 pid : started)
            QCOMPARE(::kill(pid_t(pid), SIGKILL), 0);
        seen += started;
    }
    QTRY_VERIFY_WITH_TIMEOUT(o.done, 40000);
    QTest::qWait(100);
    QCOMPARE(o.calls, 1);
    if (ends > 1) {
        QVERIFY(!o.result.image && !o.result.title && !o.result.text);
        return;
    }
    QVERIFY(o.result.image);
    const QRgb c = centre(*o.result.image);
    QVERIFY2(qRed(c) > 240 && qGreen(c) > 110 && qGreen(c) < 150 && qBlue(c) < 20, qPrintable(QColor(c).name()));
    QCOMPARE(o.result.title, std::optional<QString>(QStringLiteral("Orange Page")));
    QCOMPARE(o.result.siteName, std::optional<QString>(QStringLiteral("Fruit Site")));
    QCOMPARE(o.result.text, std::optional<QString>(QString(6000, u'x')));
}

int main(int argc, char **argv)
{
    preparePageSnapshots();
    QApplication app(argc, argv);
    TestPageSnapshot test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_pagesnapshot.moc"
