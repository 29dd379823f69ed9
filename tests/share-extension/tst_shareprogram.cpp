// vellora-share as other programs run it: the built program, without a
// display, on a library folder of its own.

#include "HeifFixture.h"
#include "ShareFixtures.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <thread>

// Names with bytes: files to make, or drop suffixes with their content.
using Files = QList<QPair<QString, QByteArray>>;

namespace {

// A display name no X server on this machine answers to (a developer may
// well run one on :97 or :99 while the tests run).
QString missingDisplay()
{
    for (int n = 97; n < 200; ++n)
        if (!QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(n))
            && !QFileInfo::exists(QStringLiteral("/tmp/.X%1-lock").arg(n)))
            return QStringLiteral("DISPLAY=:%1").arg(n);
    return QStringLiteral("DISPLAY=:199");
}

QStringList dropNames(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
}
} // namespace

class ShareProgramTest : public QObject {
    Q_OBJECT
private slots:
    // Each row: files to make (name → bytes), the arguments ("@name" is the
    // made file's path), standard input, and what must be in the drops
    // folder afterwards, in the order given.
    void inputs_data()
    {
        QTest::addColumn<Files>("files");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<Files>("drops"); // suffix → content
        const QByteArray png = fixtures::encoded("PNG"), jpeg = fixtures::encoded("JPEG"),
                         webp = fixtures::encoded("WEBP"), tiff = fixtures::encoded("TIFF");
        QTest::newRow("png") << Files{{"a.png", png}} << QStringList{"@a.png"} << QByteArray() << Files{{".png", png}};
        QTest::newRow("jpeg named as text") << Files{{"photo.txt", jpeg}} << QStringList{"@photo.txt"} << QByteArray()
                                            << Files{{".jpg", jpeg}};
        QTest::newRow("gif") << Files{{"g", fixtures::gifBytes()}} << QStringList{"@g"} << QByteArray()
                             << Files{{".gif", fixtures::gifBytes()}};
        QTest::newRow("webp") << Files{{"w.webp", webp}} << QStringList{"@w.webp"} << QByteArray() << Files{{".webp", webp}};
        const QByteArray heic = fixtures::heicOf(QImage::fromData(png));
        QTest::newRow("heic") << Files{{"h.heic", heic}} << QStringList{"@h.heic"} << QByteArray() << Files{{".heic", heic}};
        QTest::newRow("tiff as a file URL") << Files{{"t.tiff", tiff}} << QStringList{"file://@t.tiff"} << QByteArray()
                                            << Files{{".tif", tiff}};
        QTest::newRow("not a picture") << Files{{"doc.pdf", QByteArray("%PDF-1.4\n%\xe2\xe3\xcf\xd3\n1 0 obj")}}
                                       << QStringList{"@doc.pdf"} << QByteArray() << Files{};
        QTest::newRow("missing file") << Files{} << QStringList{"/no/such/picture.png"} << QByteArray() << Files{};
        QTest::newRow("link") << Files{} << QStringList{"https://example.com/a?b=1"} << QByteArray()
                              << Files{{".url.txt", "https://example.com/a?b=1"}};
        QTest::newRow("link without scheme") << Files{} << QStringList{"example.com/page"} << QByteArray()
                                             << Files{{".url.txt", "https://example.com/page"}};
        QTest::newRow("plain text") << Files{} << QStringList{"just some words"} << QByteArray() << Files{};
        QTest::newRow("lines on standard input")
            << Files{} << QStringList{} << QByteArray("https://one.example.com/x\nnot a link\n\r\nexample.org/two\n")
            << Files{{".url.txt", "https://one.example.com/x"}, {".url.txt", "https://example.org/two"}};
        QTest::newRow("a list of links in a file")
            << Files{{"links.uri", "# shared\r\nhttps://a.example.com/\r\nhttps://b.example.com/\r\n"}} << QStringList{"@links.uri"}
            << QByteArray() << Files{{".url.txt", "https://a.example.com/"}, {".url.txt", "https://b.example.com/"}};
        QTest::newRow("empty input") << Files{} << QStringList{} << QByteArray() << Files{};
        QTest::newRow("mixed, in order") << Files{{"a.png", png}} << QStringList{"example.com/1", "@a.png", "words here"}
                                         << QByteArray() << Files{{".url.txt", "https://example.com/1"}, {".png", png}};
    }
    void inputs()
    {
        QFETCH(Files, files);
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, input);
        QFETCH(Files, drops);
        QTemporaryDir home, root, shared;
        for (const auto &[name, bytes] : files) {
            if (bytes.isEmpty())
                QSKIP("no HEIC encoder here");
            QVERIFY(fixtures::writeFile(shared.filePath(name), bytes));
        }
        for (QString &argument : arguments)
            argument.replace("@", shared.path() + "/");

        const fixtures::ShareRun run = fixtures::runShare(VELLORA_SHARE_BINARY, home.path(), arguments, input,
                                                          {"VELLORA_ROOT=" + root.path()});
        const bool added = !drops.isEmpty();
        QVERIFY2(run.status == (added ? 0 : 1), qPrintable(QString("%1: %2").arg(run.status).arg(run.err)));
        QCOMPARE(run.out, QString(added ? "Added to Vellora\n" : "Couldn't add to Vellora\n"));
        if (!added)
            QVERIFY2(run.err.contains("vellora-share: "), qPrintable(run.err));

        const QString folder = root.filePath("Drops");
        const QFileInfoList made = QDir(folder).entryInfoList(QDir::Files | QDir::Hidden | QDir::System);
        QCOMPARE(made.size(), drops.size());
        QMultiHash<QString, QByteArray> seen;
        for (const QFileInfo &file : made)
            seen.insert(file.fileName().mid(36), fixtures::readFile(file.filePath()));
        for (const auto &[suffix, bytes] : drops) {
            QVERIFY2(seen.contains(suffix, bytes), qPrintable(suffix + " " + dropNames(folder).join(' ')));
            seen.remove(suffix, bytes);
        }
        for (const QFileInfo &file : made)
            QVERIFY2(fixtures::isDropName(file.fileName(), file.fileName().mid(36)), qPrintable(file.fileName()));
    }

    // A drops folder that cannot be written: nothing added, and said so.
    void unwritableDropsFolder()
    {
        QTemporaryDir home, root;
        // A file where the folder should be: refused even to root.
        QVERIFY(fixtures::writeFile(root.filePath("Drops"), "not a folder"));
        const fixtures::ShareRun run = fixtures::runShare(VELLORA_SHARE_BINARY, home.path(), {"https://example.com/x"},
                                                          {}, {"VELLORA_ROOT=" + root.path()});
        QCOMPARE(run.status, 1);
        QCOMPARE(run.out, QString("Couldn't add to Vellora\n"));
        QVERIFY2(run.err.contains("Drops"), qPrintable(run.err));
    }

    // The folder comes from the application's settings when no root is named.
    void quietRunIntoTheSyncedFolder()
    {
        QTemporaryDir home;
        const QString synced = home.filePath("Sync");
        QVERIFY(QDir().mkpath(synced));
        QVERIFY(fixtures::writeFile(home.filePath("config/Vellora/Vellora.conf"),
                                    ("[General]\nsyncedFolder=" + synced + "\n").toUtf8()));
        const fixtures::ShareRun run = fixtures::runShare(VELLORA_SHARE_BINARY, home.path(), {"--quiet", "example.com"},
                                                          {}, {"QT_QPA_PLATFORM=xcb", missingDisplay()});
        QCOMPARE(run.status, 0);
        QCOMPARE(run.out, QString("Added to Vellora\n"));
        const QString drops = synced + "/iCloud.com.quendle.vellora/Data/Drops";
        QCOMPARE(dropNames(drops).size(), 1);
        QCOMPARE(fixtures::readFile(drops + "/" + dropNames(drops).constFirst()), QByteArray("https://example.com"));
    }

    // A display named but not to be opened: the line is printed instead.
    void displayThatCannotBeOpened()
    {
        QTemporaryDir home, root;
        const fixtures::ShareRun run = fixtures::runShare(VELLORA_SHARE_BINARY, home.path(), {"example.com/x"}, {},
                                                          {"VELLORA_ROOT=" + root.path(), "QT_QPA_PLATFORM",
                                                           "WAYLAND_DISPLAY", missingDisplay()});
        QCOMPARE(run.status, 0);
        QCOMPARE(run.out, QString("Added to Vellora\n"));
        QCOMPARE(dropNames(root.filePath("Drops")).size(), 1);
    }

    // The window program on its own: shown for 0.8 s, then the given code.
    void statusWindowProgram_data()
    {
        QTest::addColumn<QString>("code");
        QTest::newRow("added") << "0";
        QTest::newRow("not added") << "1";
    }
    void statusWindowProgram()
    {
        QFETCH(QString, code);
        QTemporaryDir home;
        QElapsedTimer clock;
        clock.start();
        const QString program = QFileInfo(VELLORA_SHARE_BINARY).absolutePath() + "/vellora-share-status";
        const fixtures::ShareRun run = fixtures::runShare(program, home.path(), {"Added to Vellora", code});
        QCOMPARE(run.status, code.toInt());
        QVERIFY(clock.elapsed() >= 800);
    }

    // A reader that scans the folder over and over while 200 pictures are
    // shared never meets a drop that is not whole.
    void noDropIsSeenHalfWritten()
    {
        QTemporaryDir home, root, shared;
        // Noise does not compress: each picture is a few hundred kilobytes.
        QImage noise(360, 360, QImage::Format_RGB32);
        quint32 seed = 7;
        for (int y = 0; y < noise.height(); ++y)
            for (int x = 0; x < noise.width(); ++x)
                noise.setPixel(x, y, (seed = seed * 1664525u + 1013904223u) | 0xff000000u);
        const QByteArray png = [&] {
            QByteArray bytes;
            QBuffer buffer(&bytes);
            buffer.open(QIODevice::WriteOnly);
            noise.save(&buffer, "PNG", 0);
            return bytes;
        }();
        QVERIFY(png.size() > 200 * 1024);
        QStringList arguments;
        for (int i = 0; i < 200; ++i) {
            const QString path = shared.filePath(QString("p%1.png").arg(i));
            QVERIFY(fixtures::writeFile(path, png));
            arguments << path;
        }
        const QString folder = root.filePath("Drops");
        std::atomic<bool> done{false};
        std::atomic<int> looks{0}, partial{0};
        std::thread reader([&] {
            while (!done) {
                for (const QString &name : QDir(folder).entryList(QDir::Files)) {
                    const QByteArray bytes = fixtures::readFile(folder + "/" + name);
                    if (bytes.isEmpty() && !QFileInfo::exists(folder + "/" + name))
                        continue; // gone between the listing and the read
                    ++looks;
                    if (bytes != png)
                        ++partial;
                }
            }
        });
        const fixtures::ShareRun run = fixtures::runShare(VELLORA_SHARE_BINARY, home.path(), arguments, {},
                                                          {"VELLORA_ROOT=" + root.path()});
        done = true;
        reader.join();
        QCOMPARE(run.status, 0);
        QCOMPARE(partial.load(), 0);
        QVERIFY2(looks > 200, qPrintable(QString::number(looks)));
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden).size(), 200);
    }
};

QTEST_MAIN(ShareProgramTest)
#include "tst_shareprogram.moc"
