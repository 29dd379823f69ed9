#include "CommandLineFixture.h"
#include "LoopbackHttpServer.h"

#include "library/LibraryFile.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>

#include "../library/PictureFixtures.h"

using namespace vellora;

namespace {

QByteArray png(int w, int h, QColor colour)
{
    return fixtures::pngBytes(w, h, colour);
}

LibraryFile libraryAt(const QString &root)
{
    QFile f(root + "/library.json");
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return LibraryFile::decode(f.readAll());
}

QString idOf(const LibraryFile &library, const QString &url)
{
    for (const Item &item : library.items) {
        if (item.sourceURL == url)
            return item.id;
    }
    return {};
}

} // namespace

class AddLinkModeTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_server.listen());
        m_server.page("/og",
                      "<html><head><title>Doc Title</title>"
                      "<meta property=\"og:title\" content=\"Orange Story\">"
                      "<meta property=\"og:description\" content=\"All about oranges\">"
                      "<meta property=\"og:site_name\" content=\"Fruit Site\">"
                      "<link rel=\"icon\" href=\"/icon.png\" sizes=\"32x32\">"
                      "<style>html,body{margin:0;background:#ff8000}</style></head>"
                      "<body><p>Oranges are round.</p></body></html>");
        m_server.set("/icon.png", {200, "image/png", png(32, 32, Qt::blue), {}, false});
        m_server.page("/plain", "<html><head><title>Plain Words</title></head><body>words</body></html>");
        m_server.set("/favicon.ico", {404, "text/plain", "no", {}, false});
    }

    void reportsEveryLinkInOrder()
    {
        ProgramFixture fixture;
        const QString og = m_server.url("/og");
        const QString plain = m_server.url("/plain");
        // Texts that are no link are dropped without a word.
        const ProgramRun run = fixture.run({"--add-link", og, "not a link", plain}, {}, 180000);
        QVERIFY2(!run.crashed && run.status == 0, qPrintable(run.out + run.err));

        const LibraryFile library = libraryAt(fixture.root());
        QCOMPARE(library.items.size(), 2);
        const QString ogId = idOf(library, og);
        QVERIFY(!ogId.isEmpty());
        QCOMPARE(run.out, QString(og + "\n"
                                      "  title: Orange Story\n"
                                      "  site: Fruit Site  favicon: " + ogId + ".png  snapshot: 1280x800\n"
                                      "  summary: All about oranges\n"
                                  + plain + "\n"
                                      "  title: Plain Words\n"
                                      "  site: -  favicon: -  snapshot: 1280x800\n"
                                      "  summary: -\n"));
        for (const Item &item : library.items)
            QCOMPARE(item.collectionIds, QStringList{library.collections.first().id});

        // The same link again reuses its item and reports it after a new fetch.
        const int before = m_server.hits("/og");
        const ProgramRun again = fixture.run({"--add-link", og}, {}, 180000);
        QVERIFY2(!again.crashed && again.status == 0, qPrintable(again.out + again.err));
        QVERIFY(again.out.startsWith(og + "\n  title: Orange Story\n"));
        QVERIFY(m_server.hits("/og") > before);
        QCOMPARE(libraryAt(fixture.root()).items.size(), 2);
    }

    void withoutLinksTheLibraryIsStillSaved()
    {
        ProgramFixture fixture;
        VERIFY_RUN(fixture.run({"--add-link", "no links here"}, {}, 120000), 0, "");
        const LibraryFile library = libraryAt(fixture.root());
        QCOMPARE(library.collections.size(), 1);
        QVERIFY(library.items.isEmpty());
    }

    void damagedLibraryGetsNoLink()
    {
        ProgramFixture fixture;
        const QByteArray damaged = "{\"collections\": [";
        {
            QFile f(fixture.root() + "/library.json");
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(damaged);
        }
        const ProgramRun run = fixture.run({"--add-link", m_server.url("/plain")}, {}, 120000);
        QVERIFY2(!run.crashed, qPrintable(run.err));
        QCOMPARE(run.status, 1);
        QVERIFY2(run.out.contains("library.json could not be decoded"), qPrintable(run.out));
        QFile f(fixture.root() + "/library.json");
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), damaged);
    }

private:
    LoopbackHttpServer m_server;
};

QTEST_GUILESS_MAIN(AddLinkModeTest)
#include "tst_addlinkmode.moc"
