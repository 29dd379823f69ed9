// The self-check: the search for desktop pictures, the generated test
// pictures, the parts that run in process, and the built program run twice in
// a row and with injected failures.

#include "CommandLineFixture.h"
#include "ConsoleCapture.h"

#include "app/DesktopPictures.h"
#include "app/SelfCheck.h"
#include "library/LibraryStore.h"
#include "library/LibraryStoreMedia.h"
#include "platform/Defaults.h"

#include <QDir>
#include <QImage>
#include <QImageReader>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

using namespace vellora;

namespace {

void writePicture(const QString &path, QColor colour = Qt::darkCyan)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QImage image(24, 16, QImage::Format_RGB32);
    image.fill(colour);
    const QString format = QFileInfo(path).suffix().toLower() == "png" ? "PNG" : "JPEG";
    QVERIFY(image.save(path, qPrintable(format)));
}

void writeText(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

// Entries of a fixture tree: "name" is a real picture of its extension,
// "name=text" a file holding that text.
void makeTree(const QString &base, const QStringList &entries)
{
    for (const QString &entry : entries) {
        const qsizetype eq = entry.indexOf('=');
        if (eq < 0)
            writePicture(base + "/" + entry);
        else
            writeText(base + "/" + entry.left(eq), entry.mid(eq + 1).toUtf8());
    }
}

QStringList relative(const QString &base, const QStringList &paths)
{
    QStringList result;
    for (const QString &path : paths)
        result.append(QDir(base).relativeFilePath(path));
    return result;
}

QStringList leftovers(const QString &folder, const QString &pattern)
{
    return QDir(folder).entryList({pattern}, QDir::AllEntries | QDir::NoDotAndDotDot);
}

const QRegularExpression kScaleLine(
    QStringLiteral("^scale: imported 2000 in \\d+\\.\\d\\d s -> (.+/vellora-scale/library)$"));
const QRegularExpression kSyncedLine(
    QStringLiteral("^lastSyncedAt: \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\+0000$"));

} // namespace

class SelfCheckTest : public QObject {
    Q_OBJECT

    QString m_tmp;

    ProgramRun runProgram(const ProgramFixture &fixture, const QStringList &environment = {})
    {
        QStringList env{"TMPDIR=" + m_tmp, "VELLORA_SELFCHECK_FAIL"};
        env += environment;
        return fixture.run({"--selfcheck"}, env, 540000);
    }

private slots:
    void initTestCase()
    {
        // Every temporary folder of this test, and of the programs it runs,
        // stays under the test's own home in the build tree.
        m_tmp = qEnvironmentVariable("VELLORA_TEST_HOME") + "/tmp";
        QDir(m_tmp).removeRecursively();
        QVERIFY(QDir().mkpath(m_tmp));
        qputenv("TMPDIR", m_tmp.toLocal8Bit());
        QCOMPARE(QDir::tempPath(), QDir(m_tmp).absolutePath());
    }

    void searchOrder_data()
    {
        QTest::addColumn<QStringList>("backgrounds");
        QTest::addColumn<QStringList>("wallpapers");
        QTest::addColumn<QStringList>("expected"); // relative to the fixture

        QTest::newRow("the top folder comes first")
            << QStringList{"c.png", "a.jpg", "b.png", "d.png", "sub/x.png", "sub/y.png", "sub/z.png"}
            << QStringList{} << QStringList{"backgrounds/a.jpg", "backgrounds/b.png", "backgrounds/c.png"};
        QTest::newRow("folders inside it in name order; two pictures are not enough")
            << QStringList{"one.png", "two.png", "b/1.png", "b/2.png", "b/3.png", "a/1.png", "a/2.png"}
            << QStringList{"w1.png", "w2.png", "w3.png"}
            << QStringList{"backgrounds/b/1.png", "backgrounds/b/2.png", "backgrounds/b/3.png"};
        QTest::newRow("two levels down, as mate-backgrounds installs them")
            << QStringList{"mate/abstract/Silk.png", "mate/abstract/Flow.png", "mate/abstract/Elephants.jpg",
                           "mate/abstract/Waves.png", "mate/nature/Dune.jpg"}
            << QStringList{}
            << QStringList{"backgrounds/mate/abstract/Elephants.jpg", "backgrounds/mate/abstract/Flow.png",
                           "backgrounds/mate/abstract/Silk.png"};
        QTest::newRow("a second level folder before any third level one")
            << QStringList{"m/deep/1.png", "m/deep/2.png", "m/deep/3.png", "z/1.png", "z/2.png", "z/3.png"}
            << QStringList{} << QStringList{"backgrounds/z/1.png", "backgrounds/z/2.png", "backgrounds/z/3.png"};
        QTest::newRow("upper-case extensions count; other types and folders do not")
            << QStringList{"A.JPG", "B.Png", "C.gif", "D.txt=text", "E.jpeg", "F.png/inner.png", "G.PNG"}
            << QStringList{} << QStringList{"backgrounds/A.JPG", "backgrounds/B.Png", "backgrounds/G.PNG"};
        QTest::newRow("a HEIC that does not decode is no picture")
            << QStringList{"a.heic=not a picture", "b.png", "c.png"} << QStringList{"d.png", "e.jpg", "f.png"}
            << QStringList{"wallpapers/d.png", "wallpapers/e.jpg", "wallpapers/f.png"};
        QTest::newRow("three levels down is not searched")
            << QStringList{"a/b/c/1.png", "a/b/c/2.png", "a/b/c/3.png"} << QStringList{} << QStringList{};
        QTest::newRow("nothing anywhere") << QStringList{} << QStringList{} << QStringList{};
    }
    void searchOrder()
    {
        QFETCH(QStringList, backgrounds);
        QFETCH(QStringList, wallpapers);
        QFETCH(QStringList, expected);
        QTemporaryDir dir;
        const QString b = dir.filePath("backgrounds");
        const QString w = dir.filePath("wallpapers");
        makeTree(b, backgrounds);
        makeTree(w, wallpapers);
        QDir().mkpath(b);
        QCOMPARE(relative(dir.path(), desktopPictures(desktopPictureFolders(b, w))), expected);
    }

    void missingBaseFoldersAreLeftOut()
    {
        QTemporaryDir dir;
        QCOMPARE(desktopPictureFolders(dir.filePath("none"), dir.filePath("nothing")), QStringList{});
    }

    void tooFewPicturesSkipAndPass()
    {
        QTemporaryDir dir;
        makeTree(dir.path(), {"a.png", "b.JPG", "c.gif"});
        int status = -1;
        QStringList lines;
        {
            ConsoleCapture capture;
            status = runSelfCheck({dir.path()});
            lines = capture.lines();
        }
        QCOMPARE(status, 0);
        QCOMPARE(lines, QStringList{"selfcheck skipped: need 3 desktop pictures"});
        QCOMPARE(leftovers(m_tmp, "vellora-selfcheck-*"), QStringList{});
    }

    void generatedPictures()
    {
        QTemporaryDir dir;
        QStringList urls;
        for (int i = 0; i < 600; ++i)
            urls.append(dir.filePath(QString("img%1.png").arg(i)));
        // Red is the index mod 256, green an eighth per 256, blue one half.
        const QList<std::pair<int, QRgb>> cases{{0, qRgb(0, 0, 128)}, {300, qRgb(44, 32, 128)}, {599, qRgb(87, 64, 128)}};
        for (const auto &[index, colour] : cases) {
            QVERIFY(makeTestImage(index, urls));
            QImageReader reader(urls.at(index));
            QCOMPARE(reader.format(), QByteArray("png"));
            const QImage image = reader.read();
            QVERIFY(!image.isNull());
            QVERIFY(!image.hasAlphaChannel());
            QVERIFY(image.width() >= 200 && image.width() <= 1600);
            QVERIFY(image.height() >= 200 && image.height() <= 1600);
            QCOMPARE(image.pixel(0, 0), colour);
            QCOMPARE(image.pixel(image.width() - 1, image.height() - 1), colour);
        }
        QVERIFY(!makeTestImage(600, urls));
        QVERIFY(!makeTestImage(0, {dir.filePath("missing/folder/img0.png")}));
    }

    void rulesNeedExactlyTwoItems()
    {
        QTemporaryDir dir;
        QStringList files;
        for (int i = 0; i < 3; ++i)
            files.append(dir.filePath(QString("src/img%1.png").arg(i)));
        QDir().mkpath(dir.filePath("src"));
        for (int i = 0; i < 3; ++i)
            QVERIFY(makeTestImage(i, files));
        Defaults scratch(dir.filePath("settings.conf"));
        LibraryStore store(dir.filePath("library"), false, scratch);
        QCOMPARE(addFiles(store, files.mid(0, 2), store.defaultBoardId()), 2);
        selfCheckRules(store);
        QCOMPARE(store.items().at(0).tags, std::optional<QStringList>(QStringList{"sky"}));
        QCOMPARE(store.items().at(1).tags, std::nullopt);

        QCOMPARE(addFiles(store, {files.at(2)}, store.defaultBoardId()), 1);
        try {
            selfCheckRules(store);
            QFAIL("three items passed the rules check");
        } catch (const SelfCheckFailure &failure) {
            QCOMPARE(failure.step(), QString("rules"));
        }
    }

    void gridPaging()
    {
        ConsoleCapture capture;
        selfCheckGrid();
        QCOMPARE(capture.lines(), QStringList{"step ok"});
    }

    // The program as CI runs it: the whole check, never the skip, and a second
    // run on the same machine passes too. Needs mate-backgrounds (bootstrap).
    void programPassesTwiceInARow()
    {
        ProgramFixture fixture;
        QString scaleFolder;
        for (int run = 1; run <= 2; ++run) {
            const ProgramRun r = runProgram(fixture);
            QVERIFY2(!r.crashed, qPrintable("crashed; stderr: " + r.err));
            QVERIFY2(r.status == 0, qPrintable(QString("run %1 ended with %2; stdout:\n%3\nstderr:\n%4")
                                                   .arg(run).arg(r.status).arg(r.out, r.err)));
            const QStringList lines = r.lines();
            QVERIFY2(lines.size() == 4 && lines.last() == "selfcheck ok", qPrintable(r.out + r.err));
            const QRegularExpressionMatch scale = kScaleLine.match(lines.at(0));
            QVERIFY2(scale.hasMatch(), qPrintable(lines.at(0)));
            QCOMPARE(lines.at(1), QString("step ok"));
            QVERIFY2(kSyncedLine.match(lines.at(2)).hasMatch(), qPrintable(lines.at(2)));
            qInfo().noquote() << "run" << run << lines.at(0);
            scaleFolder = scale.captured(1);
        }
        QCOMPARE(QFileInfo(scaleFolder).absolutePath(), QDir(m_tmp).absoluteFilePath("vellora-scale"));
        QCOMPARE(QDir(scaleFolder + "/../src").entryList(QDir::Files).size(), 2000);
        QCOMPARE(leftovers(m_tmp, "vellora-selfcheck-*"), QStringList{});
        QCOMPARE(leftovers(m_tmp, "vellora-migrate-*"), QStringList{});
        // The throw-away stores kept their settings to themselves.
        const QString userSettings = fixture.home() + "/config/Vellora/Vellora.conf";
        if (QFile::exists(userSettings)) {
            Defaults user(userSettings);
            QVERIFY(!user.contains("lastSyncedAt"));
        }
    }

    void failureStopsTheRun_data()
    {
        QTest::addColumn<QString>("step");
        QTest::addColumn<int>("linesBefore"); // lines of a passing run printed before the failure
        QTest::newRow("first check") << "import" << 0;
        QTest::newRow("rules") << "rules" << 0;
        QTest::newRow("migration") << "migration" << 0;
        QTest::newRow("grid, after the scale line") << "grid" << 1;
        QTest::newRow("sync time, after the grid") << "lastSyncedAt" << 2;
    }
    void failureStopsTheRun()
    {
        QFETCH(QString, step);
        QFETCH(int, linesBefore);
        for (const char *pattern : {"vellora-selfcheck-*", "vellora-migrate-*"})
            for (const QString &name : leftovers(m_tmp, pattern))
                QDir(m_tmp + "/" + name).removeRecursively();

        ProgramFixture fixture;
        const ProgramRun r = runProgram(fixture, {"VELLORA_SELFCHECK_FAIL=" + step});
        QVERIFY2(!r.crashed, qPrintable("crashed; stderr: " + r.err));
        QVERIFY2(r.status != 0, qPrintable(r.out));
        const QStringList lines = r.lines();
        QCOMPARE(lines.size(), linesBefore);
        if (linesBefore >= 1)
            QVERIFY(kScaleLine.match(lines.at(0)).hasMatch());
        if (linesBefore >= 2)
            QCOMPARE(lines.at(1), QString("step ok"));
        QVERIFY2(r.err.contains(step + ":"), qPrintable(r.err));
        // Its folder stays for a look at what went wrong.
        QCOMPARE(leftovers(m_tmp, "vellora-selfcheck-*").size(), 1);
        QCOMPARE(leftovers(m_tmp, "vellora-migrate-*").size(), step == "migration" ? 1 : 0);
    }
};

QTEST_MAIN(SelfCheckTest)
#include "tst_selfcheck.moc"
