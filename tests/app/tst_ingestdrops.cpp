// "--ingest-drops" run as a user would: the built program on a library
// folder of its own with a drops folder beside its files.

#include "CommandLineFixture.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>

#include <nlohmann/json.hpp>

namespace {

void writeFile(const QString &path, const QByteArray &bytes, double ageSeconds = 30)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
    QVERIFY(f.flush()); // before the time is set, or the close would set it again
    // Older than the moment the share program could still be writing it.
    QVERIFY(f.setFileTime(QDateTime::currentDateTimeUtc().addMSecs(qint64(-ageSeconds * 1000)),
                          QFileDevice::FileModificationTime));
}

QByteArray pngBytes(QColor colour)
{
    QImage image(40, 30, QImage::Format_RGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

nlohmann::json readLibrary(const QString &root)
{
    QFile f(root + "/library.json");
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return nlohmann::json::parse(f.readAll().toStdString(), nullptr, false);
}

QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

} // namespace

class IngestDropsTest : public QObject {
    Q_OBJECT

private slots:
    void takesPicturesAndLinksLeavesTheRest()
    {
        ProgramFixture fixture;
        const QString drops = fixture.root() + "/Drops";
        writeFile(drops + "/6F1C2E4A-0000-4000-8000-000000000001.png", pngBytes(Qt::red));
        // A closed loopback port: the page fetch fails at once, the link stays.
        writeFile(drops + "/6F1C2E4A-0000-4000-8000-000000000002.url.txt", "http://127.0.0.1:9/shared");
        writeFile(drops + "/.hidden-note", "system");
        writeFile(drops + "/sub/inside.png", pngBytes(Qt::blue));
        writeFile(drops + "/6F1C2E4A-0000-4000-8000-000000000003.png", QByteArray("\x89PNG\r\n\x1a\n broken", 16));

        const ProgramRun run = fixture.run({"--ingest-drops"});
        VERIFY_RUN(run, 0, "library: 2 items (1 links)\n");
        QVERIFY2(run.err.contains("drops: imported 2"), qPrintable(run.err));

        const nlohmann::json library = readLibrary(fixture.root());
        QCOMPARE(library["items"].size(), size_t(2));
        QStringList kinds;
        for (const auto &item : library["items"]) {
            const QString kind = QString::fromStdString(item["kind"].get<std::string>());
            kinds << kind;
            if (kind == "image")
                QCOMPARE(QString::fromStdString(item["originalFilename"].get<std::string>()),
                         QString("6F1C2E4A-0000-4000-8000-000000000001.png"));
            else
                QCOMPARE(QString::fromStdString(item["sourceURL"].get<std::string>()),
                         QString("http://127.0.0.1:9/shared"));
        }
        kinds.sort();
        QCOMPARE(kinds, (QStringList{"image", "link"}));

        QCOMPARE(entries(drops), (QStringList{".hidden-note", "sub"}));
        QCOMPARE(entries(drops + "/sub"), QStringList{"inside.png"});
        QCOMPARE(entries(fixture.root() + "/Rejected"), QStringList{"6F1C2E4A-0000-4000-8000-000000000003.png"});

        // The same picture dropped again is known already: removed, no new item.
        writeFile(drops + "/6F1C2E4A-0000-4000-8000-000000000004.png", pngBytes(Qt::red));
        VERIFY_RUN(fixture.run({"--ingest-drops"}), 0, "library: 2 items (1 links)\n");
        QCOMPARE(entries(drops), (QStringList{".hidden-note", "sub"}));
    }

    void summaryCountsTrashedItems()
    {
        ProgramFixture fixture;
        const QString drops = fixture.root() + "/Drops";
        writeFile(drops + "/A.png", pngBytes(Qt::green));
        writeFile(drops + "/B.png", pngBytes(Qt::yellow));
        writeFile(drops + "/C.url.txt", "http://127.0.0.1:9/one");
        VERIFY_RUN(fixture.run({"--ingest-drops"}), 0, "library: 3 items (1 links)\n");

        // Trash one picture and the link, as the window would.
        nlohmann::json library = readLibrary(fixture.root());
        bool pictureTrashed = false;
        for (auto &item : library["items"]) {
            if (item["kind"] == "link" || !pictureTrashed) {
                pictureTrashed = pictureTrashed || item["kind"] == "image";
                // Yesterday: recent enough to stay in the trash.
                item["trashedAt"] = double(QDateTime::currentSecsSinceEpoch() - 978307200 - 86400);
            }
        }
        writeFile(fixture.root() + "/library.json", QByteArray::fromStdString(library.dump(2)), 0);

        writeFile(drops + "/D.url.txt", "http://127.0.0.1:9/two");
        VERIFY_RUN(fixture.run({"--ingest-drops"}), 0, "library: 4 items (2 links)\n");
        int trashed = 0;
        const nlohmann::json after = readLibrary(fixture.root());
        for (const auto &item : after["items"])
            trashed += item.contains("trashedAt") ? 1 : 0;
        QCOMPARE(trashed, 2);
    }

    void damagedLibraryKeepsItsDrops()
    {
        ProgramFixture fixture;
        writeFile(fixture.root() + "/library.json", "{ not json", 0);
        writeFile(fixture.root() + "/Drops/A.png", pngBytes(Qt::red));
        const ProgramRun run = fixture.run({"--ingest-drops"});
        QCOMPARE(run.status, 1);
        QVERIFY(run.out.endsWith("library: 0 items (0 links)\n"));
        QCOMPARE(entries(fixture.root() + "/Drops"), QStringList{"A.png"});
        QFile file(fixture.root() + "/library.json");
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("{ not json"));
    }
};

QTEST_GUILESS_MAIN(IngestDropsTest)
#include "tst_ingestdrops.moc"
