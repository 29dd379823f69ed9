#include "CommandLineFixture.h"

#include "library/LibraryFile.h"

#include <QDir>
#include <QFile>
#include <QImage>

using namespace vellora;

namespace {

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A small picture that differs by `seed`.
bool writePicture(const QString &path, int seed, const char *format)
{
    QImage image(64 + seed, 40, QImage::Format_RGB32);
    image.fill(QColor::fromHsv((seed * 47) % 360, 200, 220));
    for (int x = 0; x < image.width(); x += 8)
        image.setPixelColor(x, (seed * 3) % image.height(), Qt::black);
    QDir().mkpath(QFileInfo(path).absolutePath());
    return image.save(path, format, 90);
}

LibraryFile libraryAt(const QString &root)
{
    return LibraryFile::decode(readFile(root + "/library.json"));
}

} // namespace

class ImportModesTest : public QObject {
    Q_OBJECT

private slots:
    void importSkipsDuplicates()
    {
        ProgramFixture fixture;
        const QString work = fixture.work();
        QVERIFY(writePicture(work + "/a.png", 1, "PNG"));
        QVERIFY(writePicture(work + "/b.jpg", 2, "JPEG"));
        QVERIFY(QFile::copy(work + "/a.png", work + "/a-copy.png"));

        // Relative paths are taken from the working folder.
        const ProgramRun run = fixture.run({"--import", "a.png", "b.jpg", "a-copy.png"});
        VERIFY_RUN(run, 0, "imported 2 into Inbox\n");

        const LibraryFile library = libraryAt(fixture.root());
        QCOMPARE(library.items.size(), 2);
        QCOMPARE(library.collections.size(), 1);
        QCOMPARE(library.collections.first().name, QString("Inbox"));
        QStringList names;
        for (const Item &item : library.items) {
            names << item.originalFilename;
            QCOMPARE(item.collectionIds, QStringList{library.collections.first().id});
        }
        names.sort();
        // The workers race for the copy's content: either file may be the one kept.
        QVERIFY2(names == (QStringList{"a.png", "b.jpg"}) || names == (QStringList{"a-copy.png", "b.jpg"}),
                 qPrintable(names.join(',')));
        QVERIFY(library.items[0].contentHash != library.items[1].contentHash);
    }

    void importTakesEveryArgumentAsAPath()
    {
        ProgramFixture fixture;
        const QString work = fixture.work();
        // Files named like options are still files.
        QVERIFY(writePicture(work + "/--update", 3, "PNG"));
        QVERIFY(writePicture(work + "/-gridSortOrder", 4, "PNG"));
        QVERIFY(writePicture(work + "/--add-link", 5, "PNG"));
        const ProgramRun run = fixture.run({"--import", "--update", "-gridSortOrder", "--add-link", "example.com"});
        VERIFY_RUN(run, 0, "imported 3 into Inbox\n");
        const LibraryFile library = libraryAt(fixture.root());
        QCOMPARE(library.items.size(), 3);
        for (const Item &item : library.items)
            QCOMPARE(item.kind, QString("image")); // no link was added
    }

    void importWithNothingToImport_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("no paths") << QStringList{"--import"};
        QTest::newRow("no pictures") << QStringList{"--import", "missing.png", "notes.txt"};
    }
    void importWithNothingToImport()
    {
        QFETCH(QStringList, arguments);
        ProgramFixture fixture;
        QVERIFY(writeFile(fixture.work() + "/notes.txt", "words"));
        VERIFY_RUN(fixture.run(arguments), 0, "imported 0 into Inbox\n");
    }

    void damagedLibraryIsNeverOverwritten_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("import") << QStringList{"--import", "a.png"};
        QTest::newRow("import-library") << QStringList{"--import-library", "old"};
    }
    void damagedLibraryIsNeverOverwritten()
    {
        QFETCH(QStringList, arguments);
        ProgramFixture fixture;
        QVERIFY(writePicture(fixture.work() + "/a.png", 6, "PNG"));
        QVERIFY(writeFile(fixture.work() + "/old/library.json",
                          R"({"collections": [], "topLevelOrder": [], "items": []})"));
        const QByteArray damaged = R"({"collections": [{"id": "X", "name": "Mine")";
        QVERIFY(writeFile(fixture.root() + "/library.json", damaged));

        const ProgramRun run = fixture.run(arguments);
        QVERIFY2(!run.crashed, qPrintable(run.err));
        QCOMPARE(run.status, 1);
        QVERIFY2(run.out.contains("library.json could not be decoded"), qPrintable(run.out));
        QVERIFY(!run.out.contains("imported"));
        QCOMPARE(readFile(fixture.root() + "/library.json"), damaged);
    }

    void importLibraryWithoutPath()
    {
        ProgramFixture fixture;
        VERIFY_RUN(fixture.run({"--import-library"}), 1, "usage: Vellora --import-library <path>\n");
        QVERIFY(!QFile::exists(fixture.root() + "/library.json"));
    }

    void importLibraryWithoutUsableDocument_data()
    {
        QTest::addColumn<QByteArray>("document"); // empty: no file
        QTest::newRow("no library.json") << QByteArray();
        QTest::newRow("not JSON") << QByteArray("{ nope");
        QTest::newRow("no collections list") << QByteArray(R"({"items": []})");
    }
    void importLibraryWithoutUsableDocument()
    {
        QFETCH(QByteArray, document);
        ProgramFixture fixture;
        const QString old = fixture.work() + "/old";
        QDir().mkpath(old);
        if (!document.isEmpty())
            QVERIFY(writeFile(old + "/library.json", document));
        VERIFY_RUN(fixture.run({"--import-library", old}), 1, "no library.json in " + old + "\n");
    }

    void importLibraryReportsCountsAndCollections()
    {
        ProgramFixture fixture;
        const QString old = fixture.work() + "/old";
        QVERIFY(writePicture(old + "/originals/e1.png", 7, "PNG"));
        QVERIFY(writePicture(old + "/originals/e2.png", 8, "PNG"));
        QVERIFY(QFile::copy(old + "/originals/e1.png", old + "/originals/e1-again.png"));
        // Two collections, pictures (one a copy of another, one missing), a
        // link and a video.
        QVERIFY(QFile::copy(VELLORA_APP_FIXTURES "/old-library.json", old + "/library.json"));

        // Only the first path counts.
        const ProgramRun run = fixture.run({"--import-library", old, fixture.work() + "/elsewhere"});
        VERIFY_RUN(run, 0,
                   "imported 3, skipped 2 (videos/missing), deduped 1\n"
                   "  Inbox: 0\n"
                   "  Posters: 2\n"
                   "  Type: 1\n");
        const LibraryFile library = libraryAt(fixture.root());
        QCOMPARE(library.items.size(), 3);
        QCOMPARE(library.collections.size(), 3);
    }
};

QTEST_GUILESS_MAIN(ImportModesTest)
#include "tst_importmodes.moc"
