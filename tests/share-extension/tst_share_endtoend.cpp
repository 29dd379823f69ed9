// vellora-share and the real application meeting in the drops folder: once
// through "vellora --ingest-drops", once with the window open (offscreen),
// whose watcher takes the drops in by itself.

#include "ShareFixtures.h"
#include "PictureSizeCap.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

namespace {
QProcessEnvironment environmentFor(const QString &home, const QString &root)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("VELLORA_ROOT", root);
    env.insert("HOME", home);
    env.insert("XDG_CONFIG_HOME", home + "/config");
    env.insert("XDG_DATA_HOME", home + "/data");
    env.insert("XDG_CACHE_HOME", home + "/cache");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    return env;
}

// Kinds of the library's items, sorted; empty while there is no library file.
QStringList kinds(const QString &root)
{
    const QJsonObject library = QJsonDocument::fromJson(fixtures::readFile(root + "/library.json")).object();
    QStringList out;
    for (const QJsonValue &item : library.value("items").toArray())
        out << item.toObject().value("kind").toString();
    out.sort();
    return out;
}

QStringList visible(const QString &folder) { return QDir(folder).entryList(QDir::Files, QDir::Name); }
} // namespace

class ShareEndToEndTest : public QObject {
    Q_OBJECT
private slots:
    void sharedThenIngested()
    {
        QTemporaryDir home, root, shared;
        QVERIFY(fixtures::writeFile(shared.filePath("one.png"), fixtures::encoded("PNG", Qt::red)));
        QVERIFY(fixtures::writeFile(shared.filePath("two.jpg"), fixtures::encoded("JPEG", Qt::blue, QSize(64, 48))));
        // A closed loopback port: the application's page fetch fails at once.
        const fixtures::ShareRun run = fixtures::runShare(
            VELLORA_SHARE_BINARY, home.path(),
            {shared.filePath("one.png"), shared.filePath("two.jpg"), "http://127.0.0.1:9/shared", "just some words"}, {},
            {"VELLORA_ROOT=" + root.path()});
        QVERIFY2(run.status == 0, qPrintable(run.err));
        QCOMPARE(run.out, QString("Added to Vellora\n"));
        const QString drops = root.filePath("Drops");
        QCOMPARE(visible(drops).size(), 3);
        // Right away: a drop is complete once it has its name.

        QProcess vellora;
        vellora.setProcessEnvironment(environmentFor(home.path(), root.path()));
        vellora.start(VELLORA_BINARY, {"--ingest-drops"});
        QVERIFY(vellora.waitForFinished(120000));
        const QString out = QString::fromUtf8(vellora.readAllStandardOutput());
        QVERIFY2(vellora.exitCode() == 0, qPrintable(vellora.readAllStandardError()));
        QCOMPARE(out, QString("library: 3 items (1 links)\n"));
        QCOMPARE(kinds(root.path()), (QStringList{"image", "image", "link"}));
        QCOMPARE(visible(drops), QStringList{});
    }

    // A picture the application would refuse is refused by the share program
    // already: no "Added to Vellora" for a drop that is then rejected. Each
    // row is also left in the drops folder by hand, to show that the
    // application rejects it indeed.
    void oneCapForBothPrograms_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<qint64>("size"); // made sparse to this size; 0: as it is
        QTest::addColumn<QString>("why");
        const QByteArray png = fixtures::encoded("PNG", Qt::red, QSize(400, 300));
        QTest::newRow("larger than the cap")
            << png << vellora_format::kMaxPictureBytes + 1 << "is larger than 256 MiB";
        QTest::newRow("cut off") << png.left(png.size() / 2) << qint64(0) << "cannot be read as a picture";
        QTest::newRow("picture signature, then text")
            << QByteArray("\x89PNG\r\n\x1A\nand after the signature only words, no picture at all\n") << qint64(0)
            << "cannot be read as a picture";
        QTest::newRow("HEIC signature alone") << fixtures::heicBytes() << qint64(0) << "cannot be read as a picture";
    }
    void oneCapForBothPrograms()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(qint64, size);
        QFETCH(QString, why);
        QTemporaryDir home, root, shared;
        const auto make = [&](const QString &path) {
            if (!fixtures::writeFile(path, bytes))
                return false;
            QFile file(path);
            // Sparse: the size is what counts, not the bytes written.
            return size == 0 || file.resize(size);
        };
        const QString picture = shared.filePath("picture.png");
        QVERIFY(make(picture));
        const fixtures::ShareRun run = fixtures::runShare(VELLORA_SHARE_BINARY, home.path(), {picture}, {},
                                                          {"VELLORA_ROOT=" + root.path()});
        QCOMPARE(run.status, 1);
        QCOMPARE(run.out, QString("Couldn't add to Vellora\n"));
        QVERIFY2(run.err.contains(why), qPrintable(run.err));
        QCOMPARE(visible(root.filePath("Drops")), QStringList{});

        const QString drop = "6F1C2A3B-0D4E-4F5A-8B6C-7D8E9FA0B1C2.png";
        QVERIFY(make(root.filePath("Drops/" + drop)));
        QProcess vellora;
        vellora.setProcessEnvironment(environmentFor(home.path(), root.path()));
        vellora.start(VELLORA_BINARY, {"--ingest-drops"});
        QVERIFY(vellora.waitForFinished(120000));
        QVERIFY2(vellora.exitCode() == 0, qPrintable(vellora.readAllStandardError()));
        QCOMPARE(QString::fromUtf8(vellora.readAllStandardOutput()), QString("library: 0 items (0 links)\n"));
        QCOMPARE(visible(root.filePath("Rejected")), QStringList{drop});
    }

    void takenInByTheOpenWindow()
    {
        QTemporaryDir home, root, shared;
        QVERIFY(fixtures::writeFile(shared.filePath("one.png"), fixtures::encoded("PNG", Qt::green)));
        QProcess vellora;
        vellora.setProcessEnvironment(environmentFor(home.path(), root.path()));
        vellora.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        vellora.start(VELLORA_BINARY, {});
        QVERIFY(vellora.waitForStarted(10000));
        // The window has loaded the library and watches the drops folder.
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(root.filePath("Drops")).isDir() || vellora.state() != QProcess::Running, 30000);
        QCOMPARE(vellora.state(), QProcess::Running);
        QTest::qWait(500);

        const fixtures::ShareRun run = fixtures::runShare(VELLORA_SHARE_BINARY, home.path(),
                                                          {shared.filePath("one.png"), "http://127.0.0.1:9/seen"}, {},
                                                          {"VELLORA_ROOT=" + root.path()});
        QVERIFY2(run.status == 0, qPrintable(run.err));
        QTRY_VERIFY_WITH_TIMEOUT(kinds(root.path()) == (QStringList{"image", "link"}), 60000);
        QTRY_VERIFY_WITH_TIMEOUT(visible(root.filePath("Drops")).isEmpty(), 30000);
        vellora.terminate();
        if (!vellora.waitForFinished(20000))
            vellora.kill();
    }
};

QTEST_MAIN(ShareEndToEndTest)
#include "tst_share_endtoend.moc"
