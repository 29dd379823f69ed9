// The share program's rules on their own: the link rule, pictures known by
// their bytes, where the drops folder is, and how one drop is written.

#include "ShareDrops.h"
#include "ShareFixtures.h"

#include <QTemporaryDir>
#include <QTest>

using namespace vshare;

class ShareDropsTest : public QObject {
    Q_OBJECT
private slots:
    void linkRule_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("stored"); // empty: not a link
        QTest::newRow("address") << "https://example.com/a?b=1#c" << "https://example.com/a?b=1#c";
        QTest::newRow("without scheme") << "example.com/page" << "https://example.com/page";
        QTest::newRow("padded") << "  http://example.org \n" << "http://example.org";
        QTest::newRow("words") << "just some words" << "";
        QTest::newRow("one word") << "hello" << "";
        QTest::newRow("no dot in host") << "http://localhost/x" << "";
        QTest::newRow("other scheme") << "ftp://example.com/file" << "";
        QTest::newRow("empty") << "   " << "";
    }
    void linkRule()
    {
        QFETCH(QString, text);
        QFETCH(QString, stored);
        QCOMPARE(linkText(text).value_or(QString()), stored);
    }

    void picturesByContent_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("extension"); // empty: not a picture
        QTest::newRow("png") << fixtures::encoded("PNG") << "png";
        QTest::newRow("jpeg") << fixtures::encoded("JPEG") << "jpg";
        QTest::newRow("gif") << fixtures::gifBytes() << "gif";
        QTest::newRow("webp") << fixtures::encoded("WEBP") << "webp";
        QTest::newRow("heic") << fixtures::heicBytes() << "heic";
        QTest::newRow("tiff") << fixtures::encoded("TIFF") << "tif";
        QTest::newRow("pdf") << QByteArray("%PDF-1.4\n%\xe2\xe3\xcf\xd3\n1 0 obj") << "";
        QTest::newRow("text") << QByteArray("https://example.com\n") << "";
        QTest::newRow("drawing") << QByteArray("<?xml version=\"1.0\"?><svg xmlns=\"http://www.w3.org/2000/svg\"></svg>") << "";
        QTest::newRow("nothing") << QByteArray() << "";
    }
    void picturesByContent()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, extension);
        QCOMPARE(pictureExtension(bytes).value_or(QString()), extension);
    }

    // The same folder the application scans, from the same settings file.
    void dropsFolderFollowsTheSettings_data()
    {
        QTest::addColumn<QString>("root");
        QTest::addColumn<QString>("settings");
        QTest::addColumn<bool>("syncedExists");
        QTest::addColumn<QString>("expected"); // with <home>, <synced> placeholders
        QTest::newRow("root from the environment") << "/lib/here" << "syncedFolder=<synced>\n" << true << "/lib/here/Drops";
        QTest::newRow("no settings") << "" << "" << false << "<home>/data/Vellora/Drops";
        QTest::newRow("synced folder") << "" << "libraryLocation=local\nsyncedFolder=<synced>\n" << true
                                       << "<synced>/iCloud.com.quendle.vellora/Data/Drops";
        QTest::newRow("synced folder gone") << "" << "syncedFolder=<synced>\n" << false << "<home>/data/Vellora/Drops";
        QTest::newRow("drive without a synced folder") << "" << "libraryLocation=iclouddrive\n" << false
                                                       << "<home>/Vellora.library/Drops";
        QTest::newRow("container without a synced folder") << "" << "libraryLocation=icloud\n" << false
                                                           << "<home>/data/Vellora/Drops";
    }
    void dropsFolderFollowsTheSettings()
    {
        QFETCH(QString, root);
        QFETCH(QString, settings);
        QFETCH(bool, syncedExists);
        QFETCH(QString, expected);
        QTemporaryDir home;
        const QString synced = home.filePath("Sync");
        if (syncedExists)
            QVERIFY(QDir().mkpath(synced));
        if (!settings.isEmpty())
            QVERIFY(fixtures::writeFile(home.filePath("config/Vellora/Vellora.conf"),
                                        ("[General]\n" + QString(settings).replace("<synced>", synced)).toUtf8()));
        Places places{root, home.filePath("config"), home.filePath("data"), home.path()};
        QCOMPARE(dropsFolder(places), QString(expected).replace("<home>", home.path()).replace("<synced>", synced));
        QVERIFY(!QFileInfo::exists(dropsFolder(places))); // nothing made
    }

    void aDropIsWrittenWhole()
    {
        QTemporaryDir dir;
        const QString folder = dir.filePath("Drops");
        const QByteArray text = "https://example.com/é";
        const auto drop = writeDrop(folder, ".url.txt", text);
        QVERIFY(drop);
        QVERIFY(fixtures::isDropName(QFileInfo(*drop).fileName(), ".url.txt"));
        QCOMPARE(fixtures::readFile(*drop), text); // no mark, no newline
        // Nothing else is left behind, dot-named or not.
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{QFileInfo(*drop).fileName()});

        // A drops folder that cannot be made: a file stands in its place.
        QVERIFY(fixtures::writeFile(dir.filePath("Blocked"), "x"));
        QString why;
        QVERIFY(!writeDrop(dir.filePath("Blocked"), ".png", "x", &why));
        QVERIFY2(why.contains("Blocked"), qPrintable(why));
    }

    void sharedFilesAreReadSafely()
    {
        QTemporaryDir dir;
        const QString picture = dir.filePath("p.png");
        QVERIFY(fixtures::writeFile(picture, fixtures::encoded("PNG")));
        QCOMPARE(readSharedFile(picture, kMaxPictureBytes).value_or(QByteArray()), fixtures::encoded("PNG"));
        QVERIFY(QFile::link(picture, dir.filePath("link.png")));
        QString why;
        QVERIFY(!readSharedFile(dir.filePath("link.png"), kMaxPictureBytes, &why));
        QVERIFY(!readSharedFile(dir.path(), kMaxPictureBytes, &why));
        QVERIFY(!readSharedFile(picture, 10, &why)); // over the cap
        QVERIFY(!readSharedFile(dir.filePath("absent.png"), kMaxPictureBytes, &why));
    }
};

QTEST_MAIN(ShareDropsTest)
#include "tst_sharedrops.moc"
