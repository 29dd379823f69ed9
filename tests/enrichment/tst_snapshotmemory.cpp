// Hostile pages against the memory of the whole process tree: the test
// process with its web engine and every renderer the engine starts.

#include "LoopbackHttpServer.h"
#include "ProcessTreeMemory.h"
#include "enrichment/LinkPipeline.h"
#include "enrichment/PageSnapshot.h"
#include "library/LibraryStore.h"
#include "library/Media.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <array>

using namespace vellora;

namespace {

constexpr qint64 kGiB = qint64(1) << 30;

quint32 crc32(const QByteArray &bytes)
{
    static const auto table = [] {
        std::array<quint32, 256> t{};
        for (quint32 n = 0; n < 256; ++n) {
            quint32 c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    quint32 c = 0xFFFFFFFFu;
    for (char byte : bytes)
        c = table[(c ^ quint8(byte)) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

QByteArray bigEndian(quint32 v)
{
    return QByteArray(1, char(v >> 24)) + char(v >> 16) + char(v >> 8) + char(v);
}

QByteArray chunk(const char *type, const QByteArray &data)
{
    const QByteArray typed = QByteArray(type) + data;
    return bigEndian(quint32(data.size())) + typed + bigEndian(crc32(typed));
}

// A one-bit grey PNG of width x height: a few hundred kilobytes on the wire
// for a picture that takes width x height x 4 bytes once decoded.
QByteArray hugePng(int width, int height)
{
    const int rowBytes = 1 + (width + 7) / 8;
    QByteArray raw(qsizetype(rowBytes) * height, '\0');
    for (int y = 0; y < height; ++y)
        for (int x = 1; x < rowBytes; x += 7)
            raw[qsizetype(y) * rowBytes + x] = char(0x5A); // not all one colour
    QByteArray zlib = qCompress(raw, 9).mid(4); // qCompress puts the length first
    QByteArray header = bigEndian(quint32(width)) + bigEndian(quint32(height));
    header += char(1); // bit depth
    header += char(0); // grey
    header += char(0) + QByteArray(1, 0) + QByteArray(1, 0);
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", header) + chunk("IDAT", zlib) + chunk("IEND", {});
}

// 50 MB of HTML: a head, then one block of paragraphs over and over (the
// server repeats the block as it goes, the page never closes its body).
LoopbackHttpServer::Response fiftyMegabytePage()
{
    QByteArray block = "<html><head><title>Very Long Page</title></head><body>";
    const QByteArray paragraph = "<p class=\"row\"><span>Some words of a very long page</span> <b>and more</b></p>\n";
    while (block.size() < 1000 * 1000)
        block += paragraph;
    LoopbackHttpServer::Response response;
    response.body = block;
    response.repeat = 50;
    return response;
}

} // namespace

class TestSnapshotMemory : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void hostilePageStaysWithinAGibibyte_data();
    void hostilePageStaysWithinAGibibyte();
    void sixHostileLinksAtOnce();
    void twoHugePicturesPicturedAtOnce();

private:
    LoopbackHttpServer m_server;
};

void TestSnapshotMemory::initTestCase()
{
    QVERIFY(m_server.listen());
    m_server.set("/long", fiftyMegabytePage());
    m_server.set("/huge.png", {200, "image/png", hugePng(15000, 15000), {}, false});
    m_server.page("/huge-icon", "<html><head><title>Huge Icon</title>"
                                "<link rel=\"icon\" href=\"/huge.png\"></head><body>A page with a huge icon</body></html>");
    // Pictures in the page itself. The pages' own colour shows whether
    // their snapshot is of the page, shown again without its pictures.
    const QByteArray huge = hugePng(15000, 15000);
    auto pictured = [](const char *title, const QByteArray &body) {
        return "<html><head><title>" + QByteArray(title) + "</title></head><body style=\"background:#2080ff\">"
            + "<p>Words beside the pictures</p>" + body + "</body></html>";
    };
    m_server.page("/huge-picture", pictured("Huge Picture", "<img src=\"/huge.png\">"));
    m_server.page("/huge-pictures",
                  pictured("Huge Pictures", "<img src=\"/huge.png?1\"><img src=\"/huge.png?2\" width=\"300\">"
                                            "<div style=\"width:900px;height:900px;background:url(/huge.png?3)\"></div>"));
    m_server.page("/huge-inline",
                  pictured("Huge Inline Picture", "<img src=\"data:image/png;base64," + huge.toBase64() + "\">"));
    // A frame of another site has a renderer of its own.
    QUrl framed(m_server.url("/huge-picture"));
    framed.setHost(QStringLiteral("localhost"));
    m_server.page("/huge-frame", pictured("Huge Frame", "<iframe src=\"" + framed.toEncoded()
                                                            + "\" width=\"600\" height=\"400\"></iframe>"));
    installPageSnapshots();
    LinkPipelineServices::installed().describeLink = [](const QString &, const QString &, const QString &,
                                                        LinkPipelineServices::InsightDone done) {
        QTimer::singleShot(0, [done = std::move(done)] { done(std::nullopt); });
    };
}

void TestSnapshotMemory::hostilePageStaysWithinAGibibyte_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("title");
    // The colour of the page's own background, in its corner, where the
    // snapshot shows it; empty: not looked at.
    QTest::addColumn<QString>("background");
    QTest::newRow("50 MB of HTML") << "/long" << "Very Long Page" << "";
    QTest::newRow("15000 x 15000 icon") << "/huge-icon" << "Huge Icon" << "";
    QTest::newRow("15000 x 15000 picture") << "/huge-picture" << "Huge Picture" << "#2080ff";
    QTest::newRow("three such pictures, one a background")
        << "/huge-pictures" << "Huge Pictures" << "#2080ff";
    QTest::newRow("such a picture written into the page") << "/huge-inline" << "Huge Inline Picture" << "#2080ff";
    QTest::newRow("such a picture in a frame of another site") << "/huge-frame" << "Huge Frame" << "#2080ff";
}

void TestSnapshotMemory::hostilePageStaysWithinAGibibyte()
{
    QFETCH(QString, path);
    QFETCH(QString, title);
    QFETCH(QString, background);
    QTemporaryDir dir;
    LibraryStore store(dir.path(), false);
    QVERIFY(store.loaded());
    const QString id = addLink(store, m_server.url(path), store.defaultBoardId());
    const qint64 before = fixtures::treeResidentBytes();
    qint64 peak = 0;
    {
        fixtures::PeakTreeMemory memory;
        bool done = false;
        fetchLinkMetadata(store, id, [&done] { done = true; });
        QTRY_VERIFY_WITH_TIMEOUT(done, 60000);
        peak = memory.peak();
    }
    qInfo("%s: process tree %.0f MiB before, %.0f MiB at its peak", qPrintable(path), before / 1048576.0,
          peak / 1048576.0);
    QVERIFY2(peak < kGiB, qPrintable(QStringLiteral("peak %1 MiB").arg(peak / 1048576)));
    // The page was still read and pictured.
    const auto item = store.item(id);
    QCOMPARE(item->title, std::optional<QString>(title));
    QVERIFY(item->pageText && !item->pageText->isEmpty());
    QVERIFY(item->snapshotDate);
    if (!background.isEmpty()) {
        QVERIFY2(item->pageText->contains(QLatin1String("Words beside the pictures")), qPrintable(*item->pageText));
        const QImage picture(originalPath(dir.path(), item->storedFilename));
        QVERIFY(!picture.isNull());
        QCOMPARE(QColor(picture.pixel(2, 2)).name(), background);
    }
}

void TestSnapshotMemory::sixHostileLinksAtOnce()
{
    // They are pictured kSnapshotsAtOnce at a time; the others wait without
    // a web view.
    QTemporaryDir dir;
    LibraryStore store(dir.path(), false);
    QVERIFY(store.loaded());
    QStringList ids;
    for (int i = 0; i < 3; ++i) {
        ids << addLink(store, m_server.url(QStringLiteral("/long?%1").arg(i)), store.defaultBoardId());
        ids << addLink(store, m_server.url(QStringLiteral("/huge-icon?%1").arg(i)), store.defaultBoardId());
    }
    // Each of these has its renderer ended; the next still gets its turn.
    QStringList pictured;
    for (int i = 0; i < 2; ++i)
        pictured << addLink(store, m_server.url(QStringLiteral("/huge-picture?%1").arg(i)), store.defaultBoardId());
    ids += pictured;
    qint64 peak = 0;
    {
        fixtures::PeakTreeMemory memory;
        int done = 0;
        for (const QString &id : ids)
            fetchLinkMetadata(store, id, [&done] { ++done; });
        QTRY_COMPARE_WITH_TIMEOUT(done, ids.size(), 150000);
        peak = memory.peak();
    }
    qInfo("%lld at once: process tree %.0f MiB at its peak", qint64(ids.size()), peak / 1048576.0);
    QVERIFY2(peak < kGiB, qPrintable(QStringLiteral("peak %1 MiB").arg(peak / 1048576)));
    for (const QString &id : ids)
        QVERIFY(store.item(id)->snapshotDate);
    for (const QString &id : pictured) {
        const auto text = store.item(id)->pageText;
        QVERIFY(text && text->contains(QLatin1String("Words beside the pictures")));
    }
}

void TestSnapshotMemory::twoHugePicturesPicturedAtOnce()
{
    // Two pages decode their pictures at the same time, each in a renderer
    // of its own: together they stay within the budget, and each is shown
    // again on its own when its renderer is ended.
    const QStringList paths{QStringLiteral("/huge-picture?a"), QStringLiteral("/huge-pictures?b")};
    const QStringList titles{QStringLiteral("Huge Picture"), QStringLiteral("Huge Pictures")};
    std::vector<std::unique_ptr<PageSnapshot>> runs;
    std::vector<std::optional<PageSnapshot::Result>> results(paths.size());
    std::vector<int> calls(paths.size(), 0);
    qint64 peak = 0;
    {
        fixtures::PeakTreeMemory memory;
        for (qsizetype i = 0; i < paths.size(); ++i) {
            runs.push_back(std::make_unique<PageSnapshot>());
            runs.back()->run(m_server.url(paths[i]), [&results, &calls, i](PageSnapshot::Result r) {
                results[i] = std::move(r);
                ++calls[i];
            });
        }
        QTRY_VERIFY_WITH_TIMEOUT(results[0] && results[1], 60000);
        peak = memory.peak();
    }
    QTest::qWait(100);
    qInfo("two pictured at once: process tree %.0f MiB at its peak", peak / 1048576.0);
    QVERIFY2(peak < kGiB, qPrintable(QStringLiteral("peak %1 MiB").arg(peak / 1048576)));
    for (qsizetype i = 0; i < paths.size(); ++i) {
        QCOMPARE(calls[i], 1);
        QCOMPARE(results[i]->title, std::optional<QString>(titles[i]));
        QVERIFY(results[i]->text && results[i]->text->contains(QLatin1String("Words beside the pictures")));
        QVERIFY(results[i]->image);
        QCOMPARE(QColor(results[i]->image->pixel(2, 2)).name(), QStringLiteral("#2080ff"));
    }
}

int main(int argc, char **argv)
{
    preparePageSnapshots();
    QApplication app(argc, argv);
    TestSnapshotMemory test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_snapshotmemory.moc"
