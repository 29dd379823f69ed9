#include "library/LinkParser.h"
#include "platform/WebAddress.h"

#include <QTest>

using namespace vellora;

class TestLinkParser : public QObject {
    Q_OBJECT
private slots:
    void normalizes_data();
    void normalizes();
    void splitsWithoutRewriting_data();
    void splitsWithoutRewriting();
    void mergesTags_data();
    void mergesTags();
    void localNetworkHosts_data();
    void localNetworkHosts();
};

void TestLinkParser::normalizes_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected"); // null: rejected

    QTest::newRow("bare host") << "example.com" << "https://example.com";
    QTest::newRow("white space and newline around") << "  example.com/a\n" << "https://example.com/a";
    QTest::newRow("tab and CRLF around") << "\t\r\nexample.com\r\n" << "https://example.com";
    QTest::newRow("http kept") << "http://example.com/x" << "http://example.com/x";
    QTest::newRow("capital scheme kept verbatim") << "HTTPS://Example.COM/Path" << "HTTPS://Example.COM/Path";
    QTest::newRow("host case kept") << "WWW.Example.com" << "https://WWW.Example.com";
    QTest::newRow("international host kept") << QString::fromUtf8("münchen.de/straße")
                                             << QString::fromUtf8("https://münchen.de/straße");
    QTest::newRow("percent escapes kept") << "example.com/a%2Fb?q=%C3%A9" << "https://example.com/a%2Fb?q=%C3%A9";
    QTest::newRow("port and user") << "https://me@example.com:8080/a" << "https://me@example.com:8080/a";
    QTest::newRow("trailing slash kept") << "example.com/" << "https://example.com/";
    QTest::newRow("query and fragment") << "example.com/a?b=1#c" << "https://example.com/a?b=1#c";
    QTest::newRow("ipv4 has dots") << "http://127.0.0.1:80/" << "http://127.0.0.1:80/";

    QTest::newRow("empty") << "" << QString();
    QTest::newRow("only white space") << " \n\t " << QString();
    QTest::newRow("space between words") << "hello world.com" << QString();
    QTest::newRow("space before the dot") << "example .com" << QString();
    QTest::newRow("host without dot") << "localhost" << QString();
    QTest::newRow("host without dot, http") << "http://localhost/a" << QString();
    QTest::newRow("host without dot, port") << "localhost:8080" << QString();
    QTest::newRow("ftp") << "ftp://example.com/file" << QString();
    QTest::newRow("file") << "file:///etc/passwd" << QString();
    QTest::newRow("javascript") << "javascript://example.com/%0Aalert(1)" << QString();
    QTest::newRow("'://' in a query, no scheme") << "example.com/?next=https://other.org" << QString();
    QTest::newRow("no host") << "https:///path.x" << QString();
    QTest::newRow("inner tab") << "example.com/a\tb" << QString();
    QTest::newRow("bad percent escape") << "example.com/%zz" << QString();
    QTest::newRow("angle bracket") << "example.com/<b>" << QString();
    QTest::newRow("non-digit port") << "https://example.com:80a/" << QString();
}

void TestLinkParser::normalizes()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    const auto url = normalizedLinkURL(text);
    if (expected.isNull()) {
        QVERIFY2(!url, qPrintable(url.value_or(QString())));
    } else {
        QVERIFY(url);
        QCOMPARE(*url, expected);
    }
}

void TestLinkParser::splitsWithoutRewriting_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("parses");
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("path");

    QTest::newRow("full") << "HtTp://u:p@WWW.Ex.com:81/A/b?q#f" << true << "HtTp" << "WWW.Ex.com" << "81" << "/A/b";
    QTest::newRow("no scheme is a path") << "example.com/a" << true << "" << "" << "" << "example.com/a";
    QTest::newRow("ipv6") << "http://[::1]:8080/x" << true << "http" << "[::1]" << "8080" << "/x";
    QTest::newRow("punycode and unicode as written") << QString::fromUtf8("https://xn--bcher-kva.ch/bücher") << true
                                                     << "https" << "xn--bcher-kva.ch" << "" << QString::fromUtf8("/bücher");
    QTest::newRow("query holds a slash") << "https://a.b?x=/y" << true << "https" << "a.b" << "" << "";
    QTest::newRow("unclosed bracket") << "http://[::1/x" << false << "" << "" << "" << "";
    QTest::newRow("space") << "http://a.b/c d" << false << "" << "" << "" << "";
}

void TestLinkParser::splitsWithoutRewriting()
{
    QFETCH(QString, text);
    QFETCH(bool, parses);
    const auto a = WebAddress::parse(text);
    QCOMPARE(bool(a), parses);
    if (!a)
        return;
    QFETCH(QString, scheme);
    QFETCH(QString, host);
    QFETCH(QString, port);
    QFETCH(QString, path);
    QCOMPARE(a->scheme, scheme);
    QCOMPARE(a->host, host);
    QCOMPARE(a->port, port);
    QCOMPARE(a->path, path);
}

void TestLinkParser::mergesTags_data()
{
    QTest::addColumn<QStringList>("existing");
    QTest::addColumn<QStringList>("added");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("existing kept, new lower-cased, repeats dropped")
        << QStringList{"Design", "ui"} << QStringList{"UI", "design", "Web"}
        << QStringList{"Design", "ui", "design", "web"};
    QTest::newRow("nothing new") << QStringList{"A"} << QStringList{} << QStringList{"A"};
    QTest::newRow("nothing existing") << QStringList{} << QStringList{"X", "x"} << QStringList{"x"};
    QTest::newRow("repeat among existing") << QStringList{"a", "a", "B"} << QStringList{"b"}
                                           << QStringList{"a", "B", "b"};
}

void TestLinkParser::mergesTags()
{
    QFETCH(QStringList, existing);
    QFETCH(QStringList, added);
    QFETCH(QStringList, expected);
    QCOMPARE(mergeTags(existing, added), expected);
}

// The hosts a link from someone else may never make this machine ask.
void TestLinkParser::localNetworkHosts_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("local");
    QTest::newRow("localhost") << "localhost" << true;
    QTest::newRow("localhost, upper case, root dot") << "LOCALHOST." << true;
    QTest::newRow("below localhost") << "admin.localhost" << true;
    QTest::newRow("loopback") << "127.0.0.1" << true;
    QTest::newRow("loopback, elsewhere in 127/8") << "127.8.9.10" << true;
    QTest::newRow("IPv6 loopback") << "[::1]" << true;
    QTest::newRow("unspecified") << "0.0.0.0" << true;
    QTest::newRow("10/8") << "10.1.2.3" << true;
    QTest::newRow("172.16/12, low end") << "172.16.0.1" << true;
    QTest::newRow("172.16/12, high end") << "172.31.255.255" << true;
    QTest::newRow("just above 172.16/12") << "172.32.0.1" << false;
    QTest::newRow("192.168/16") << "192.168.1.1" << true;
    QTest::newRow("link-local (cloud metadata)") << "169.254.169.254" << true;
    QTest::newRow("shared address space") << "100.64.0.1" << true;
    QTest::newRow("IPv6 link-local") << "[fe80::1]" << true;
    QTest::newRow("IPv6 unique local") << "[fd12:3456::1]" << true;
    QTest::newRow("loopback inside IPv6") << "[::ffff:127.0.0.1]" << true;
    QTest::newRow("multicast") << "224.0.0.1" << true;
    QTest::newRow("broadcast") << "255.255.255.255" << true;
    QTest::newRow("public IPv4") << "8.8.8.8" << false;
    QTest::newRow("public IPv4 inside IPv6") << "[::ffff:8.8.8.8]" << false;
    QTest::newRow("public IPv6") << "[2001:4860:4860::8888]" << false;
    QTest::newRow("a name: known only once looked up") << "example.org" << false;
}

void TestLinkParser::localNetworkHosts()
{
    QFETCH(QString, host);
    QFETCH(bool, local);
    QCOMPARE(isLocalNetworkHostName(host), local);
}

QTEST_GUILESS_MAIN(TestLinkParser)
#include "tst_linkparser.moc"
