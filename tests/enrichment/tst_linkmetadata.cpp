#include "LoopbackHttpServer.h"
#include "enrichment/LinkMetadata.h"
#include "enrichment/PageUserAgent.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImageWriter>
#include <QTest>

#include "../library/PictureFixtures.h"

using namespace vellora;

namespace {

QByteArray png(int w, int h, QColor colour)
{
    return fixtures::pngBytes(w, h, colour);
}

QByteArray ico(const QList<int> &sides)
{
    // An ICO directory with one PNG-encoded entry per side.
    QList<QByteArray> images;
    for (int side : sides)
        images.append(png(side, side, Qt::green));
    QByteArray out;
    auto u16 = [&out](int v) { out.append(char(v & 0xff)).append(char((v >> 8) & 0xff)); };
    auto u32 = [&out](qint64 v) { for (int i = 0; i < 4; ++i) out.append(char((v >> (8 * i)) & 0xff)); };
    u16(0); u16(1); u16(int(sides.size()));
    qint64 offset = 6 + 16 * sides.size();
    for (qsizetype i = 0; i < sides.size(); ++i) {
        out.append(char(sides[i] >= 256 ? 0 : sides[i])).append(char(sides[i] >= 256 ? 0 : sides[i]));
        out.append(char(0)).append(char(0));
        u16(1); u16(32);
        u32(images[i].size()); u32(offset);
        offset += images[i].size();
    }
    for (const QByteArray &i : images)
        out += i;
    return out;
}

template <typename T>
struct Wait {
    bool done = false;
    T value;
    std::function<void(T)> callback() { return [this](T v) { value = std::move(v); done = true; }; }
    bool wait(int ms = 20000)
    {
        QElapsedTimer t;
        t.start();
        while (!done && t.elapsed() < ms)
            QTest::qWait(10);
        return done;
    }
};

} // namespace

class TestLinkMetadata : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void readsTheHead_data();
    void readsTheHead();
    void ordersIconsLargestFirst();
    void fetchesTitleIconAndPreview();
    void followsRedirectsAndResolvesAgainstTheLastAddress();
    void failsWithoutUsablePage_data();
    void failsWithoutUsablePage();
    void capsTime();
    void fallsBackToFaviconAndPicksTheLargestPicture();
    void boundsTheTree_data();
    void boundsTheTree();
    void readsADeepPage();
    void keepsTheHeadOfAPageCutShort_data();
    void keepsTheHeadOfAPageCutShort();
    void triesAFewIconsWithinOneDeadline();

private:
    LoopbackHttpServer m_server;
};

void TestLinkMetadata::initTestCase()
{
    QVERIFY(m_server.listen());
    m_server.page("/og", "<html><head><title>Plain title</title>"
                         "<meta property=\"og:title\" content=\"Open Graph Title\">"
                         "<meta property=\"og:image\" content=\"/img/preview.png\">"
                         "<link rel=\"icon\" href=\"icons/small.png\" sizes=\"16x16\">"
                         "<link rel=\"apple-touch-icon\" href=\"/icons/big.png\" sizes=\"180x180\">"
                         "</head><body>x</body></html>");
    m_server.set("/img/preview.png", {200, "image/png", png(600, 315, Qt::red), {}, false});
    m_server.set("/icons/big.png", {200, "image/png", png(180, 180, Qt::blue), {}, false});
    m_server.set("/icons/small.png", {200, "image/png", png(16, 16, Qt::blue), {}, false});
    m_server.page("/bare", "<html><head></head><body>nothing</body></html>");
    m_server.set("/favicon.ico", {200, "image/x-icon", ico({16, 48, 32}), {}, false});
    m_server.redirect("/hop1", "/dir/hop2");
    m_server.redirect("/dir/hop2", "/dir/final");
    m_server.page("/dir/final", "<html><head><meta name=\"twitter:image\" content=\"pic.png\"></head></html>");
    m_server.redirect("/loop-a", "/loop-b");
    m_server.redirect("/loop-b", "/loop-a");
    m_server.redirect("/to-ftp", "ftp://127.0.0.1/file");
    m_server.set("/gone", {404, "text/html", "<html><head><title>Not here</title></head></html>", {}, false});
    m_server.set("/huge", {200, "text/html", QByteArray(300 * 1024, 'a'), {}, false});
    m_server.set("/slow", {200, "text/html", {}, {}, true});
    const QByteArray head = "<html><head><title>Big page</title><meta property=\"og:title\" content=\"Kept head\">"
                            "<link rel=\"icon\" href=\"/icons/big.png\"></head><body>";
    m_server.page("/huge-page", head + QByteArray(1024 * 1024, 'a'));
    LoopbackHttpServer::Response unfinished{200, "text/html; charset=utf-8", head + "<p>still coming", {}, false};
    unfinished.unfinished = true;
    m_server.set("/unfinished", unfinished);
    m_server.set("/hang.png", {200, "image/png", {}, {}, true});
    QByteArray flood = "<html><head><title>Icons</title>";
    for (int i = 0; i < 2000; ++i)
        flood += "<link rel=icon sizes=" + QByteArray::number(2000 - i) + "x1 href=\"/hang.png?n=" + QByteArray::number(i) + "\">";
    m_server.page("/icon-flood", flood + "</head></html>");
    QByteArray missing = "<html><head>";
    for (int i = 0; i < 20; ++i)
        missing += "<link rel=icon href=\"/missing.png?n=" + QByteArray::number(i) + "\">";
    m_server.page("/icons-missing", missing + "</head></html>");
}

void TestLinkMetadata::readsTheHead_data()
{
    QTest::addColumn<QByteArray>("html");
    QTest::addColumn<QString>("title"); // null: absent
    QTest::addColumn<QString>("image"); // null: absent

    QTest::newRow("og wins over twitter and title")
        << QByteArray("<title>T</title><meta name=twitter:title content=Tw><meta property=og:title content=Og>")
        << "Og" << QString();
    QTest::newRow("twitter over title") << QByteArray("<title>T</title><meta name=twitter:title content=Tw>")
                                        << "Tw" << QString();
    QTest::newRow("title, white space folded") << QByteArray("<title>\n  Two\n words </title>") << "Two words"
                                               << QString();
    QTest::newRow("empty og title falls through") << QByteArray("<meta property=og:title content=''><title>T</title>")
                                                  << "T" << QString();
    QTest::newRow("empty title is absent") << QByteArray("<title> </title>") << QString() << QString();
    QTest::newRow("svg title is not the page's")
        << QByteArray("<body><svg><title>icon</title></svg></body>") << QString() << QString();
    QTest::newRow("entities and UTF-8") << QByteArray("<title>Caf\xc3\xa9 &amp; Bar</title>")
                                        << QString::fromUtf8("Café & Bar") << QString();
    QTest::newRow("og image relative") << QByteArray("<meta property=og:image content=a/b.png>") << QString()
                                       << "https://site.example/dir/a/b.png";
    QTest::newRow("twitter image absolute") << QByteArray("<meta name=twitter:image content=https://cdn.example/x.jpg>")
                                            << QString() << "https://cdn.example/x.jpg";
    QTest::newRow("og image before twitter")
        << QByteArray("<meta name=twitter:image content=/t.png><meta property=og:image content=/o.png>") << QString()
        << "https://site.example/o.png";
    QTest::newRow("base href") << QByteArray("<base href=https://other.example/root/><meta property=og:image content=p.png>")
                               << QString() << "https://other.example/root/p.png";
    QTest::newRow("protocol-relative") << QByteArray("<meta property=og:image content=//img.example/p.png>") << QString()
                                       << "https://img.example/p.png";
    QTest::newRow("non-web image refused") << QByteArray("<meta property=og:image content=javascript:alert(1)>")
                                           << QString() << QString();
}

void TestLinkMetadata::readsTheHead()
{
    QFETCH(QByteArray, html);
    QFETCH(QString, title);
    QFETCH(QString, image);
    const LinkMetadata m = parseLinkMetadata(html, QUrl(QStringLiteral("https://site.example/dir/page.html")));
    QCOMPARE(m.title.value_or(QString()), title.isNull() ? QString() : title);
    QCOMPARE(bool(m.title), !title.isNull());
    QCOMPARE(m.imageURL.value_or(QUrl()).toString(), image.isNull() ? QString() : image);
}

void TestLinkMetadata::ordersIconsLargestFirst()
{
    const LinkMetadata m = parseLinkMetadata(
        "<link rel=icon href=/a.png><link rel='shortcut icon' href=/b.png sizes=32x32>"
        "<link rel=apple-touch-icon href=/c.png sizes='57x57 180x180'><link rel=stylesheet href=/s.css>",
        QUrl(QStringLiteral("http://site.example:8080/p?q=1")));
    QList<QString> urls;
    for (const QUrl &u : m.iconCandidates)
        urls.append(u.toString());
    QCOMPARE(urls, (QList<QString>{"http://site.example:8080/c.png", "http://site.example:8080/b.png",
                                   "http://site.example:8080/a.png", "http://site.example:8080/favicon.ico"}));
}

void TestLinkMetadata::fetchesTitleIconAndPreview()
{
    LinkMetadataFetcher fetcher;
    Wait<std::optional<LinkMetadata>> meta;
    fetcher.fetch(m_server.url("/og"), meta.callback());
    QVERIFY(meta.wait());
    QVERIFY(meta.value);
    QCOMPARE(meta.value->title, std::optional<QString>(QStringLiteral("Open Graph Title")));
    // Asked for under the same browser name as the page's snapshot.
    QCOMPARE(m_server.lastUserAgent(), QByteArray(kPageUserAgent));

    Wait<std::optional<QImage>> icon;
    fetcher.loadImage(meta.value->iconCandidates, icon.callback());
    QVERIFY(icon.wait());
    QVERIFY(icon.value);
    QCOMPARE(icon.value->size(), QSize(180, 180));
    QCOMPARE(m_server.hits("/icons/small.png"), 0);

    Wait<std::optional<QImage>> preview;
    fetcher.loadPreviewImage(meta.value, preview.callback());
    QVERIFY(preview.wait());
    QVERIFY(preview.value);
    QCOMPARE(preview.value->size(), QSize(600, 315));
    QCOMPARE(QColor(preview.value->pixel(10, 10)), QColor(Qt::red));

    Wait<std::optional<QImage>> none;
    fetcher.loadPreviewImage(std::nullopt, none.callback());
    QVERIFY(none.wait());
    QVERIFY(!none.value);
}

void TestLinkMetadata::followsRedirectsAndResolvesAgainstTheLastAddress()
{
    LinkMetadataFetcher fetcher;
    Wait<std::optional<LinkMetadata>> meta;
    fetcher.fetch(m_server.url("/hop1"), meta.callback());
    QVERIFY(meta.wait());
    QVERIFY(meta.value);
    QCOMPARE(meta.value->imageURL.value_or(QUrl()).toString(), m_server.url("/dir/pic.png"));
}

void TestLinkMetadata::failsWithoutUsablePage_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("404") << "/gone";
    QTest::newRow("redirect loop") << "/loop-a";
    QTest::newRow("redirect to ftp") << "/to-ftp";
    QTest::newRow("closed port") << "closed";
    QTest::newRow("not a web address") << "ftp";
}

void TestLinkMetadata::failsWithoutUsablePage()
{
    QFETCH(QString, path);
    QString url = m_server.url(path);
    if (path == QLatin1String("closed")) {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        url = QStringLiteral("http://127.0.0.1:%1/").arg(probe.serverPort());
        probe.close();
    } else if (path == QLatin1String("ftp")) {
        url = QStringLiteral("ftp://127.0.0.1/x");
    }
    FetchLimits limits;
    limits.maxPageBytes = 256 * 1024;
    LinkMetadataFetcher fetcher(limits);
    Wait<std::optional<LinkMetadata>> meta;
    meta.value = LinkMetadata{};
    fetcher.fetch(url, meta.callback());
    QVERIFY(meta.wait());
    QVERIFY(!meta.value);
    if (path == QLatin1String("/loop-a"))
        QVERIFY(m_server.hits("/loop-a") <= 4);
}

void TestLinkMetadata::capsTime()
{
    FetchLimits limits;
    limits.pageTimeoutMs = 700;
    LinkMetadataFetcher fetcher(limits);
    Wait<std::optional<LinkMetadata>> meta;
    meta.value = LinkMetadata{};
    QElapsedTimer t;
    t.start();
    fetcher.fetch(m_server.url("/slow"), meta.callback());
    QVERIFY(meta.wait());
    QVERIFY(!meta.value);
    QVERIFY(t.elapsed() >= 600 && t.elapsed() < 5000);
}

void TestLinkMetadata::fallsBackToFaviconAndPicksTheLargestPicture()
{
    LinkMetadataFetcher fetcher;
    Wait<std::optional<LinkMetadata>> meta;
    fetcher.fetch(m_server.url("/bare"), meta.callback());
    QVERIFY(meta.wait());
    QVERIFY(meta.value);
    QVERIFY(!meta.value->title);
    QVERIFY(!meta.value->imageURL);
    QCOMPARE(meta.value->iconCandidates, QList<QUrl>{QUrl(m_server.url("/favicon.ico"))});
    Wait<std::optional<QImage>> icon;
    fetcher.loadImage(meta.value->iconCandidates, icon.callback());
    QVERIFY(icon.wait());
    QVERIFY(icon.value);
    QCOMPARE(icon.value->size(), QSize(48, 48));
}

void TestLinkMetadata::boundsTheTree_data()
{
    QTest::addColumn<QByteArray>("html");
    QTest::addColumn<int>("depth");
    QTest::addColumn<int>("kept"); // bytes; -1: all
    QTest::newRow("shallow") << QByteArray("<html><head><title>a</title></head><body><div><p>x</div></body>") << 3 << -1;
    QTest::newRow("cut before the tag too deep") << QByteArray("<div><div><div><div>x") << 3 << 15;
    QTest::newRow("closed elements give their depth back")
        << QByteArray("<div><div></div><div></div><div></div></div>") << 2 << -1;
    QTest::newRow("siblings that close each other") << QByteArray("<ul><li>a<li>b<li>c<p>d<p>e</ul>") << 1 << -1;
    QTest::newRow("void and self-closed") << QByteArray("<div><br><img src=x><meta a=b><svg/><x-y/></div>") << 1 << -1;
    QTest::newRow("script text is no markup") << QByteArray("<script>'<div><div><div>'</script><div>x</div>") << 1 << -1;
    QTest::newRow("title text is no markup") << QByteArray("<title><b><b><b></title><b>x</b>") << 1 << -1;
    QTest::newRow("comment") << QByteArray("<!-- <div><div><div> --><div>x") << 1 << -1;
    QTest::newRow("quoted bracket") << QByteArray("<div title=\"a>b\"><div>") << 1 << 17;
    QTest::newRow("capitals") << QByteArray("<DIV><Div><div>") << 2 << 10;
    QTest::newRow("unclosed comment") << QByteArray("<div><!-- <div><div>") << 1 << -1;
}

void TestLinkMetadata::boundsTheTree()
{
    QFETCH(QByteArray, html);
    QFETCH(int, depth);
    QFETCH(int, kept);
    QCOMPARE(boundedDocument(html, depth), kept < 0 ? html : html.left(kept));
}

void TestLinkMetadata::readsADeepPage()
{
    // A page of 100 000 nested elements, as a hostile page may be: its head
    // is read, in well under the time the parser would need for all of it.
    QByteArray html = "<html><head><title>Deep</title><link rel=icon href=/i.png></head><body>";
    html += QByteArray("<div>").repeated(100000) + QByteArray("<b>").repeated(100000) + "<title>inner</title>";
    QElapsedTimer clock;
    clock.start();
    const LinkMetadata metadata = parseLinkMetadata(html, QUrl("http://example.com/"));
    QCOMPARE(metadata.title, std::optional<QString>(QStringLiteral("Deep")));
    QCOMPARE(metadata.iconCandidates.value(0), QUrl("http://example.com/i.png"));
    qInfo("deep page read in %lld ms", clock.elapsed());
}

void TestLinkMetadata::keepsTheHeadOfAPageCutShort_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("larger than the cap") << "/huge-page";
    QTest::newRow("never finishes") << "/unfinished";
}

void TestLinkMetadata::keepsTheHeadOfAPageCutShort()
{
    QFETCH(QString, path);
    FetchLimits limits;
    limits.maxPageBytes = 256 * 1024;
    limits.pageTimeoutMs = 1500;
    LinkMetadataFetcher fetcher(limits);
    Wait<std::optional<LinkMetadata>> meta;
    fetcher.fetch(m_server.url(path), meta.callback());
    QVERIFY(meta.wait());
    QVERIFY(meta.value);
    QCOMPARE(meta.value->title, std::optional<QString>(QStringLiteral("Kept head")));
    QCOMPARE(meta.value->iconCandidates.value(0), QUrl(m_server.url("/icons/big.png")));
}

void TestLinkMetadata::triesAFewIconsWithinOneDeadline()
{
    FetchLimits limits;
    limits.iconDeadlineMs = 1500;
    LinkMetadataFetcher fetcher(limits);

    // Two thousand icons that never answer: a few are tried, then time is up.
    Wait<std::optional<LinkMetadata>> meta;
    fetcher.fetch(m_server.url("/icon-flood"), meta.callback());
    QVERIFY(meta.wait());
    QVERIFY(meta.value);
    QCOMPARE(meta.value->iconCandidates.first(), QUrl(m_server.url("/hang.png?n=0"))); // the largest first
    const int before = m_server.hits("/hang.png");
    QElapsedTimer clock;
    clock.start();
    Wait<std::optional<QImage>> icon;
    fetcher.loadIcon(meta.value->iconCandidates, icon.callback());
    QVERIFY(icon.wait());
    QVERIFY(!icon.value);
    QVERIFY2(clock.elapsed() < 6000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(m_server.hits("/hang.png") - before <= limits.maxIconCandidates);

    // Declared icons that are missing: after a few of them, the site's favicon.
    Wait<std::optional<LinkMetadata>> missing;
    fetcher.fetch(m_server.url("/icons-missing"), missing.callback());
    QVERIFY(missing.wait());
    QVERIFY(missing.value);
    QCOMPARE(missing.value->iconCandidates.size(), 21);
    Wait<std::optional<QImage>> favicon;
    fetcher.loadIcon(missing.value->iconCandidates, favicon.callback());
    QVERIFY(favicon.wait());
    QVERIFY(favicon.value);
    QCOMPARE(favicon.value->size(), QSize(48, 48));
    QVERIFY(m_server.hits("/missing.png") < limits.maxIconCandidates);
}

QTEST_MAIN(TestLinkMetadata)
#include "tst_linkmetadata.moc"
