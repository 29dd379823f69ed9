// The drops scan against a library fake: what is claimed, imported, removed,
// released and rejected, on real folders.

#include "ManualClock.h"
#include "ScopedClock.h"
#include "SeamGuard.h"

#include "library/Drops.h"
#include "library/Media.h"
#include "platform/Clock.h"
#include "platform/Defaults.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <mutex>
#include <optional>
#include <sys/stat.h>

using namespace vellora;

namespace {

const QByteArray kPNG = QByteArray::fromBase64(
    "iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mP8z8BQDwAEhQGAhKmMIQAAAABJRU5ErkJggg==");

// Writes a drop whose modification time lies `age` seconds in the past.
QString writeFile(const QString &folder, const QString &name, const QByteArray &bytes, double age = 30)
{
    const QString path = folder + QLatin1Char('/') + name;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        qFatal("cannot write %s", qPrintable(path));
    file.write(bytes);
    file.close();
    if (age != 0) {
        QFile touched(path);
        touched.open(QIODevice::ReadWrite);
        touched.setFileTime(QDateTime::currentDateTimeUtc().addMSecs(qint64(-age * 1000)),
                            QFileDevice::FileModificationTime);
    }
    return path;
}

QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

// A library that imports what looks like a PNG and refuses the rest.
class FakeLibrary : public DropsLibrary {
public:
    std::function<DropImport(const QString &name, const QByteArray &bytes)> decide =
        [](const QString &, const QByteArray &bytes) {
            return bytes.startsWith("\x89PNG") ? DropImport::Imported : DropImport::NotAPicture;
        };

    DropImport importPicture(const QString &stagedPath, const QString &boardId) override
    {
        QFile file(stagedPath);
        file.open(QIODevice::ReadOnly);
        const QByteArray bytes = file.readAll();
        const QString name = QFileInfo(stagedPath).fileName();
        const DropImport outcome = decide(name, bytes);
        std::lock_guard guard(lock);
        stagingFolder = QFileInfo(stagedPath).absolutePath();
        boards << boardId;
        if (outcome == DropImport::Imported)
            pictures << name;
        return outcome;
    }
    QString addLink(const QString &url, const QString &) override
    {
        links << url;
        return QStringLiteral("id-") + url;
    }
    void fetchLinkMetadata(const QString &itemId, std::function<void()> done) override
    {
        fetched << itemId;
        done();
    }
    void endImport() override { ++endImports; }

    std::mutex lock;
    QString stagingFolder;
    QStringList pictures;
    QStringList boards;
    QStringList links;
    QStringList fetched;
    int endImports = 0;
};

const QString kMarker = QStringLiteral(".importing-0A1B2C3D");

DropsScanReport scan(const QString &folder, DropsLibrary &library, const QString &marker = kMarker)
{
    bool done = false;
    DropsScanReport result;
    ingestDrops({folder, QStringLiteral("BOARD"), marker, {}}, library, [&](const DropsScanReport &report) {
        result = report;
        done = true;
    });
    QElapsedTimer timer;
    timer.start();
    while (!done && timer.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    if (!done)
        qFatal("scan did not finish");
    return result;
}

// A second process of this test program, scanning a folder with a fake that
// notes each drop it imports in a shared log (see main()).
int runChildScan()
{
    const QString folder = qEnvironmentVariable("VELLORA_DROPS_CHILD");
    const QString log = qEnvironmentVariable("VELLORA_DROPS_LOG");
    const QString marker = qEnvironmentVariable("VELLORA_DROPS_MARKER");
    const QString go = qEnvironmentVariable("VELLORA_DROPS_GO");
    while (!QFile::exists(go))
        QThread::usleep(500);
    FakeLibrary library;
    library.decide = [log](const QString &name, const QByteArray &) {
        QFile file(log);
        file.open(QIODevice::Append);
        file.write(name.toUtf8() + '\n');
        file.close();
        QThread::usleep(300); // a slow import widens the window for a race
        return DropImport::Imported;
    };
    scan(folder, library, marker);
    return 0;
}

} // namespace

class TestDrops : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        m_seams.emplace();
        QVERIFY(m_dir.isValid());
        m_drops = m_dir.path() + QStringLiteral("/Data/Drops");
        QDir(m_dir.path()).removeRecursively();
        QVERIFY(QDir().mkpath(m_drops));
    }
    void cleanup() { m_seams.reset(); }

    void takesPicturesAndLinksAndLeavesTheRestAlone()
    {
        writeFile(m_drops, QStringLiteral("5A3F.png"), kPNG);
        writeFile(m_drops, QStringLiteral("77B0.url.txt"), "https://example.com/page?q=1");
        writeFile(m_drops, QStringLiteral(".DS_Store"), "system");
        writeFile(m_drops, QStringLiteral("91C2.png"), "\x89PN damaged");
        QVERIFY(QDir().mkpath(m_drops + QStringLiteral("/folder.png")));
        writeFile(m_drops + QStringLiteral("/folder.png"), QStringLiteral("inner.png"), kPNG);
        const QString target = writeFile(m_dir.path(), QStringLiteral("elsewhere.png"), kPNG);
        QVERIFY(QFile::link(target, m_drops + QStringLiteral("/link.png")));

        FakeLibrary library;
        QTest::ignoreMessage(QtInfoMsg, "drops: imported 2");
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^drops: rejected 91C2.png")));
        const DropsScanReport report = scan(m_drops, library);

        QCOMPARE(report.claimed, 3);
        QCOMPARE(report.imported, 2);
        QCOMPARE(report.rejected, 1);
        // The picture reaches the library under its drop name, claim marker gone.
        QCOMPARE(library.pictures, QStringList{QStringLiteral("5A3F.png")});
        QCOMPARE(library.boards.first(), QStringLiteral("BOARD"));
        QCOMPARE(library.links, QStringList{QStringLiteral("https://example.com/page?q=1")});
        QCOMPARE(library.fetched, QStringList{QStringLiteral("id-https://example.com/page?q=1")});
        QCOMPARE(library.endImports, 1);
        QCOMPARE(entries(m_drops), (QStringList{QStringLiteral(".DS_Store"), QStringLiteral("folder.png"),
                                                QStringLiteral("link.png")}));
        QCOMPARE(entries(m_drops + QStringLiteral("/folder.png")), QStringList{QStringLiteral("inner.png")});
        QVERIFY(QFileInfo(m_drops + QStringLiteral("/link.png")).isSymLink());
        QCOMPARE(entries(m_dir.path() + QStringLiteral("/Data/Rejected")), QStringList{QStringLiteral("91C2.png")});
        // No staging folder is left behind.
        QVERIFY(!library.stagingFolder.isEmpty());
        QVERIFY(!QFileInfo::exists(library.stagingFolder));
    }

    void outcomeOfOneDrop_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("outcome"); // of the fake library, for pictures
        QTest::addColumn<QString>("expected"); // "removed", "rejected" or "kept"
        QTest::addColumn<int>("imported");

        const int imported = int(DropImport::Imported);
        QTest::newRow("picture") << "A.png" << kPNG << imported << "removed" << 1;
        QTest::newRow("duplicate picture") << "A.png" << kPNG << int(DropImport::Duplicate) << "removed" << 1;
        QTest::newRow("empty picture file") << "A.png" << QByteArray() << imported << "removed" << 0;
        QTest::newRow("library finds it empty") << "A.png" << kPNG << int(DropImport::Empty) << "removed" << 0;
        QTest::newRow("not a picture") << "A.heic" << QByteArray("text") << int(DropImport::NotAPicture) << "rejected" << 0;
        QTest::newRow("passing failure") << "A.png" << kPNG << int(DropImport::Failed) << "kept" << 0;
        QTest::newRow("link without scheme") << "L.url.txt" << QByteArray("example.com") << imported << "removed" << 1;
        QTest::newRow("blank text") << "L.url.txt" << QByteArray("  \n\t ") << imported << "removed" << 0;
        QTest::newRow("empty text") << "L.url.txt" << QByteArray() << imported << "removed" << 0;
        QTest::newRow("text with a space") << "L.url.txt" << QByteArray("hello world.com") << imported << "rejected" << 0;
        QTest::newRow("not UTF-8") << "L.url.txt" << QByteArray("https://\xff\xfe.com") << imported << "rejected" << 0;
    }

    void outcomeOfOneDrop()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QFETCH(int, outcome);
        QFETCH(QString, expected);
        QFETCH(int, imported);

        writeFile(m_drops, name, content);
        FakeLibrary library;
        library.decide = [outcome](const QString &, const QByteArray &) { return DropImport(outcome); };
        QTest::failOnWarning(QRegularExpression(QStringLiteral("could not")));
        const DropsScanReport report = scan(m_drops, library);

        QCOMPARE(report.claimed, 1);
        QCOMPARE(report.imported, imported);
        const QStringList rejected = entries(m_dir.path() + QStringLiteral("/Data/Rejected"));
        if (expected == QLatin1String("removed")) {
            QVERIFY(entries(m_drops).isEmpty());
            QVERIFY(rejected.isEmpty());
        } else if (expected == QLatin1String("rejected")) {
            QVERIFY(entries(m_drops).isEmpty());
            QCOMPARE(rejected, QStringList{name});
            QCOMPARE(report.rejected, 1);
        } else {
            // Handed back under its drop name for a later scan.
            QCOMPARE(entries(m_drops), QStringList{name});
            QCOMPARE(report.released, 1);
            QVERIFY(rejected.isEmpty());
        }
    }

    void passingFailuresAreRetriedThenRejected()
    {
        ManualClock clock(vellora::now());
        ScopedClock scoped(&clock);
        writeFile(m_drops, QStringLiteral("A.png"), kPNG);
        FakeLibrary library;
        int attempts = 0;
        library.decide = [&attempts](const QString &, const QByteArray &) {
            ++attempts;
            return DropImport::Failed;
        };

        DropsScanReport report = scan(m_drops, library);
        QCOMPARE(report.released, 1);
        QVERIFY(report.retryAfter > 0);
        // Right away it waits: no claim-release loop while the watcher fires.
        report = scan(m_drops, library);
        QCOMPARE(report.claimed, 0);
        QCOMPARE(report.waiting, 1);
        QCOMPARE(entries(m_drops), QStringList{QStringLiteral("A.png")});

        clock.advance(report.retryAfter + 0.1);
        report = scan(m_drops, library);
        QCOMPARE(report.released, 1);
        clock.advance(report.retryAfter + 0.1);
        report = scan(m_drops, library);
        QCOMPARE(attempts, kDropMaxAttempts);
        QCOMPARE(report.rejected, 1);
        QVERIFY(entries(m_drops).isEmpty());
        QCOMPARE(entries(m_dir.path() + QStringLiteral("/Data/Rejected")), QStringList{QStringLiteral("A.png")});
    }

    // A drop is complete once it has its name: one written a moment ago is
    // taken by the very next scan, with no settle time.
    void freshDropIsTakenAtOnce()
    {
        writeFile(m_drops, QStringLiteral("fresh.png"), kPNG, 0);
        FakeLibrary library;
        QTest::ignoreMessage(QtInfoMsg, "drops: imported 1");
        const DropsScanReport report = scan(m_drops, library);
        QCOMPARE(report.claimed, 1);
        QCOMPARE(report.imported, 1);
        QCOMPARE(report.waiting, 0);
        QVERIFY(entries(m_drops).isEmpty());
        QCOMPARE(library.endImports, 1);
    }

    void abandonedClaims_data()
    {
        QTest::addColumn<QString>("claimName");
        QTest::addColumn<double>("ageSeconds");
        QTest::addColumn<bool>("released");

        QTest::newRow("other device, 11 min") << "P.png.importing-FFEE0011" << 660.0 << true;
        QTest::newRow("other device, 5 min") << "P.png.importing-FFEE0011" << 300.0 << false;
        QTest::newRow("this device, 11 min") << QStringLiteral("P.png") + kMarker << 660.0 << true;
        QTest::newRow("just under the limit") << "P.png.importing-FFEE0011" << 590.0 << false;
        QTest::newRow("link claim, 20 min") << "L.url.txt.importing-FFEE0011" << 1200.0 << true;
    }

    void abandonedClaims()
    {
        QFETCH(QString, claimName);
        QFETCH(double, ageSeconds);
        QFETCH(bool, released);

        writeFile(m_drops, claimName, claimName.startsWith('L') ? QByteArray("example.com") : kPNG, ageSeconds);
        FakeLibrary library;
        DropsScanReport report = scan(m_drops, library);
        // Released drops wait for the next scan.
        QCOMPARE(report.claimed, 0);
        QCOMPARE(report.staleReleased, released ? 1 : 0);
        const QString dropName = dropNameOfClaim(claimName);
        QCOMPARE(entries(m_drops), QStringList{released ? dropName : claimName});

        report = scan(m_drops, library);
        QCOMPARE(report.imported, released ? 1 : 0);
        QCOMPARE(entries(m_drops).isEmpty(), released);
    }

    void releaseNeverReplacesANewDrop()
    {
        writeFile(m_drops, QStringLiteral("P.png.importing-FFEE0011"), "old claim", 900);
        writeFile(m_drops, QStringLiteral("P.png"), kPNG);
        FakeLibrary library;
        const DropsScanReport report = scan(m_drops, library);
        QCOMPARE(report.staleReleased, 0);
        QCOMPARE(report.imported, 1);
        QCOMPARE(entries(m_drops), QStringList{QStringLiteral("P.png.importing-FFEE0011")});
    }

    void claimRenamesAndStamps()
    {
        const QString drop = writeFile(m_drops, QStringLiteral("X.jpg"), kPNG, 3600);
        const auto claimed = claimDrop(drop, kMarker);
        QVERIFY(claimed);
        QCOMPARE(QFileInfo(*claimed).fileName(), QStringLiteral("X.jpg") + kMarker);
        QVERIFY(!QFile::exists(drop));
        QVERIFY(qAbs(QFileInfo(*claimed).lastModified().secsTo(QDateTime::currentDateTime())) < 5);
        // The second claimant of the same drop loses.
        QVERIFY(!claimDrop(drop, QStringLiteral(".importing-99999999")));
        QCOMPARE(dropNameOfClaim(QFileInfo(*claimed).fileName()), QStringLiteral("X.jpg"));
    }

    void twoProcessesImportEachDropOnce_data()
    {
        QTest::addColumn<QString>("secondMarker");
        QTest::newRow("two machines") << ".importing-BBBBBBBB";
        QTest::newRow("one machine, two processes") << ".importing-AAAAAAAA";
    }

    void twoProcessesImportEachDropOnce()
    {
        QFETCH(QString, secondMarker);
        QStringList names;
        for (int i = 0; i < 60; ++i) {
            const QString name = QStringLiteral("drop-%1.png").arg(i, 2, 10, QLatin1Char('0'));
            writeFile(m_drops, name, kPNG);
            names << name;
        }
        const QString log = m_dir.path() + QStringLiteral("/imports.log");
        const QString go = m_dir.path() + QStringLiteral("/go");
        QProcess first;
        QProcess second;
        const QStringList markers{QStringLiteral(".importing-AAAAAAAA"), secondMarker};
        QProcess *processes[] = {&first, &second};
        for (int i = 0; i < 2; ++i) {
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("VELLORA_DROPS_CHILD"), m_drops);
            env.insert(QStringLiteral("VELLORA_DROPS_LOG"), log);
            env.insert(QStringLiteral("VELLORA_DROPS_MARKER"), markers[i]);
            env.insert(QStringLiteral("VELLORA_DROPS_GO"), go);
            processes[i]->setProcessEnvironment(env);
            processes[i]->setProcessChannelMode(QProcess::ForwardedErrorChannel);
            processes[i]->start(QCoreApplication::applicationFilePath(), {});
            QVERIFY(processes[i]->waitForStarted());
        }
        QThread::msleep(100);
        writeFile(m_dir.path(), QStringLiteral("go"), "");
        for (QProcess *process : processes) {
            QVERIFY(process->waitForFinished(60000));
            QCOMPARE(process->exitCode(), 0);
        }
        QFile file(log);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QStringList imported = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        imported.sort();
        QCOMPARE(imported, names);
        QVERIFY(entries(m_drops).isEmpty());
    }

    void deviceIdIsStableAndPerInstallation()
    {
        Defaults first(m_dir.path() + QStringLiteral("/one.conf"));
        const QString id = loadDeviceId(first);
        QCOMPARE(id.size(), 8);
        QVERIFY(QRegularExpression(QStringLiteral("^[0-9A-F]{8}$")).match(id).hasMatch());
        QCOMPARE(loadDeviceId(first), id);
        Defaults reopened(m_dir.path() + QStringLiteral("/one.conf"));
        QCOMPARE(loadDeviceId(reopened), id);
        Defaults other(m_dir.path() + QStringLiteral("/two.conf"));
        QVERIFY(loadDeviceId(other) != id);
        QCOMPARE(claimMarkerFor(id).size(), 19);
        QCOMPARE(dropsDeviceId(), dropsDeviceId());
    }

    void dropsFolderFollowsTheContainer()
    {
        QCOMPARE(dropsDirectoryFor(QStringLiteral("/lib"), std::nullopt, false), QStringLiteral("/lib/Drops"));
        QCOMPARE(dropsDirectoryFor(QStringLiteral("/lib"), QStringLiteral("/cloud/Data"), false),
                 QStringLiteral("/cloud/Data/Drops"));
        QCOMPARE(dropsDirectoryFor(QStringLiteral("/lib"), QStringLiteral("/cloud/Data"), true),
                 QStringLiteral("/lib/Drops"));
        QCOMPARE(rejectedDirectoryFor(QStringLiteral("/cloud/Data/Drops")), QStringLiteral("/cloud/Data/Rejected"));
    }

    // A file handed over while the library cannot take it is kept as a
    // drop: under its own name when the scan would take that name for the
    // same picture, never over another drop, and only a regular file within
    // the cap. The scan then takes it as any drop.
    void keepsHandedFilesAsDrops_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("kind"); // picture, link to it, fifo, too large
        QTest::addColumn<QStringList>("before"); // drops already there
        QTest::addColumn<QString>("kept"); // the drop's name; "uuid" for a fresh one; empty: refused
        QTest::newRow("its own name") << "a.png" << "picture" << QStringList() << "a.png";
        QTest::newRow("a name taken") << "a.png" << "picture" << QStringList{"a.png"} << "a 2.png";
        QTest::newRow("two names taken") << "a.png" << "picture" << QStringList{"a.png", "a 2.png"} << "a 3.png";
        QTest::newRow("a hidden name") << ".a.png" << "picture" << QStringList() << "uuid";
        QTest::newRow("a name like a claim") << "a.png.importing-1234ABCD" << "picture" << QStringList() << "uuid";
        QTest::newRow("a name like a link drop") << "a.url.txt" << "picture" << QStringList() << "uuid";
        QTest::newRow("a symbolic link") << "l.png" << "link to it" << QStringList() << "";
        QTest::newRow("a pipe") << "p.png" << "fifo" << QStringList() << "";
        QTest::newRow("over the picture cap") << "big.png" << "too large" << QStringList() << "";
    }

    void keepsHandedFilesAsDrops()
    {
        QFETCH(QString, name);
        QFETCH(QString, kind);
        QFETCH(QStringList, before);
        QFETCH(QString, kept);
        const QByteArray another = kPNG + QByteArray("another");
        for (const QString &drop : std::as_const(before))
            writeFile(m_drops, drop, another);
        const QString handed = m_dir.path() + QStringLiteral("/handed");
        QVERIFY(QDir().mkpath(handed));
        QString path = handed + QLatin1Char('/') + name;
        if (kind == QLatin1String("picture")) {
            writeFile(handed, name, kPNG);
        } else if (kind == QLatin1String("link to it")) {
            QVERIFY(QFile::link(writeFile(handed, QStringLiteral("target.png"), kPNG), path));
        } else if (kind == QLatin1String("fifo")) {
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        } else {
            QFile big(path);
            QVERIFY(big.open(QIODevice::WriteOnly));
            QVERIFY(big.resize(kMaxPictureBytes + 1)); // sparse: nothing is written
        }
        QString why;
        const std::optional<QString> drop = keepPictureAsDrop(m_drops, path, &why);
        QStringList names = QDir(m_drops).entryList(QDir::Files | QDir::Hidden | QDir::System);
        for (const QString &drop : std::as_const(before))
            names.removeOne(drop);
        if (kept.isEmpty()) {
            QVERIFY2(!drop, qPrintable(*drop));
            QVERIFY(!why.isEmpty());
            QVERIFY2(names.isEmpty(), qPrintable(names.join(", "))); // no half-written file either
            return;
        }
        QVERIFY2(drop, qPrintable(why));
        QCOMPARE(names.size(), qsizetype(1));
        if (kept == QLatin1String("uuid"))
            QVERIFY2(QRegularExpression(QStringLiteral("^[0-9A-F-]{36}$")).match(names.first()).hasMatch(), qPrintable(names.first()));
        else
            QCOMPARE(names.first(), kept);
        QCOMPARE(*drop, m_drops + QLatin1Char('/') + names.first());
        QFile file(*drop);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), kPNG);
        for (const QString &drop : std::as_const(before)) {
            QFile other(m_drops + QLatin1Char('/') + drop);
            QVERIFY(other.open(QIODevice::ReadOnly));
            QCOMPARE(other.readAll(), another);
        }

        FakeLibrary library;
        const DropsScanReport report = scan(m_drops, library);
        QVERIFY(library.pictures.contains(names.first()));
        QCOMPARE(report.imported, before.size() + 1);
    }

    void keepsHandedLinksAsDrops()
    {
        QString why;
        const std::optional<QString> drop = keepLinkAsDrop(m_drops, QStringLiteral("https://example.com/a?b=1"), &why);
        QVERIFY2(drop, qPrintable(why));
        QVERIFY(drop->endsWith(QStringLiteral(".url.txt")));
        QCOMPARE(QDir(m_drops).entryList(QDir::Files | QDir::Hidden).size(), qsizetype(1));
        FakeLibrary library;
        QTest::ignoreMessage(QtInfoMsg, "drops: imported 1");
        scan(m_drops, library);
        QCOMPARE(library.links, QStringList{QStringLiteral("https://example.com/a?b=1")});
    }

private:
    QTemporaryDir m_dir;
    QString m_drops;
    std::optional<SeamGuard> m_seams;
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsSet("VELLORA_DROPS_CHILD"))
        return runChildScan();
    TestDrops test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_drops.moc"
