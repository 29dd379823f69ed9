// The whole road of an update as a person takes it, on a session bus of its
// own: an installed Vellora, a newer release packed and signed the way
// `make package` does it and served over loopback, "Update" clicked in the
// window. The old process must save and end, and the new install must be
// the one running, window up, within 30 seconds.
#include "LoopbackHttpServer.h"

#include "platform/Digest.h"
#include "update/BundleManifest.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <unistd.h>

using namespace vellora;

namespace {

constexpr qint64 kRunning = VELLORA_RUNNING_BUILD;

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// What `make package` runs, for any version.
bool packRelease(const QString &version, qint64 build, const QString &tree, const QString &archive)
{
    QProcess pack;
    pack.setProcessChannelMode(QProcess::ForwardedChannels);
    pack.start(QStringLiteral(VELLORA_CMAKE),
               {QStringLiteral("-DPROGRAM=" VELLORA_BINARY), QStringLiteral("-DSIGN_TOOL=" VELLORA_SIGN_TOOL),
                QStringLiteral("-DVERSION=") + version, QStringLiteral("-DBUILD=%1").arg(build),
                QStringLiteral("-DTREE=") + tree, QStringLiteral("-DARCHIVE=") + archive,
                QStringLiteral("-DKEY_DIR=" VELLORA_UPDATE_KEY_DIR), QStringLiteral("-P"),
                QStringLiteral(VELLORA_PACK_RELEASE_SCRIPT)});
    return pack.waitForFinished(120000) && pack.exitStatus() == QProcess::NormalExit && pack.exitCode() == 0;
}

QString executableOf(qint64 pid)
{
    return QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget();
}

// The process that owns the program's name on the bus, or 0.
qint64 busOwner()
{
    QDBusConnectionInterface *daemon = QDBusConnection::sessionBus().interface();
    const QDBusReply<uint> pid = daemon->servicePid(QStringLiteral("com.quendle.vellora"));
    return pid.isValid() ? qint64(pid.value()) : 0;
}

// Every process running the program from `folder`: ours, as the folder is.
QList<qint64> runningFrom(const QString &folder)
{
    QList<qint64> pids;
    for (const QString &name : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool ok = false;
        const qint64 pid = name.toLongLong(&ok);
        if (ok && executableOf(pid).startsWith(folder + QLatin1Char('/')))
            pids << pid;
    }
    return pids;
}

} // namespace

class TestUpdateRelaunch : public QObject {
    Q_OBJECT

private slots:
    void updateFromTheWindowRelaunchesTheNewInstall()
    {
        if (QStringLiteral(VELLORA_UPDATE_KEY_DIR).isEmpty())
            QSKIP("this build trusts no development key");
        QVERIFY2(QDBusConnection::sessionBus().isConnected(), "runs on a session bus of its own");
        QTemporaryDir root(qEnvironmentVariable("VELLORA_TEST_HOME") + QStringLiteral("/relaunch-XXXXXX"));
        const QString target = root.filePath(QStringLiteral("opt/Vellora.app"));
        const QString library = root.filePath(QStringLiteral("library"));

        // Installed: this build as `make package` packs it.
        const QString installed = root.filePath(QStringLiteral("installed.tar.zst"));
        QVERIFY(packRelease(QStringLiteral(VELLORA_RUNNING_VERSION), kRunning, root.filePath(QStringLiteral("tree-old")), installed));
        QDir().mkpath(root.filePath(QStringLiteral("opt")));
        QCOMPARE(QProcess::execute(QStringLiteral("tar"), {QStringLiteral("--zstd"), QStringLiteral("-xf"), installed,
                                                           QStringLiteral("-C"), root.filePath(QStringLiteral("opt"))}),
                 0);
        QCOMPARE(readBundleManifest(target)->build, std::optional<qint64>(kRunning));

        // On offer: the same program packed as the next release.
        const qint64 next = kRunning + 1;
        const QString release = root.filePath(QStringLiteral("release.tar.zst"));
        QVERIFY(packRelease(QStringLiteral("0.2.0"), next, root.filePath(QStringLiteral("tree-new")), release));
        LoopbackHttpServer server;
        const QByteArray body = readAll(release);
        server.set("/Vellora-0.2.0.tar.zst", {.body = body});
        server.set("/Vellora-0.2.0.tar.zst.minisig", {.body = readAll(release + QStringLiteral(".minisig"))});
        server.set("/appcast.json",
                   {.body = QStringLiteral(R"({"version":"0.2.0","build":%1,"url":"%2","sha256":"%3"})")
                        .arg(next)
                        .arg(server.url("/Vellora-0.2.0.tar.zst"), sha256Hex(sha256(body)))
                        .toUtf8()});

        // The old process: the window, driven by a hand that clicks "Update".
        QProcess old;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("VELLORA_ROOT"), library);
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        old.setProcessEnvironment(environment);
        // Both processes write here; the new one inherits it from the old.
        old.setStandardOutputFile(root.filePath(QStringLiteral("stdout.txt")));
        old.setStandardErrorFile(root.filePath(QStringLiteral("stderr.txt")));
        old.start(QStringLiteral(VELLORA_DRIVER),
                  {QStringLiteral("-VELLORA_APPCAST_URL"), server.url("/appcast.json"),
                   QStringLiteral("-VELLORA_UPDATE_TARGET"), target});
        QVERIFY(old.waitForStarted());
        const qint64 oldPid = old.processId();
        auto cleanUp = qScopeGuard([&] {
            for (qint64 pid : runningFrom(root.path()))
                ::kill(pid_t(pid), SIGTERM);
            if (old.state() != QProcess::NotRunning) {
                old.terminate();
                old.waitForFinished(10000);
            }
        });
        auto log = [&] {
            return QString::fromUtf8(readAll(root.filePath(QStringLiteral("stdout.txt")))
                                     + readAll(root.filePath(QStringLiteral("stderr.txt"))));
        };

        // The download starts once the window asked and the banner offered.
        QDeadlineTimer offered(60000);
        while (!server.hits("/Vellora-0.2.0.tar.zst") && !offered.hasExpired() && old.state() != QProcess::NotRunning)
            QTest::qWait(50);
        QVERIFY2(server.hits("/Vellora-0.2.0.tar.zst"), qPrintable(log()));
        QElapsedTimer sinceUpdate;
        sinceUpdate.start();

        // The old process saves and ends by itself.
        QDeadlineTimer ended(30000);
        while (old.state() != QProcess::NotRunning && !ended.hasExpired())
            QTest::qWait(50);
        QCOMPARE(old.state(), QProcess::NotRunning);
        QCOMPARE(old.exitStatus(), QProcess::NormalExit);
        QCOMPARE(old.exitCode(), 0);
        QVERIFY2(log().contains(QStringLiteral("[update] Relaunching ") + target), qPrintable(log()));
        QVERIFY2(readAll(library + QStringLiteral("/library.json")).contains("Renamed as the update relaunched"),
                 qPrintable(log()));
        QCOMPARE(readBundleManifest(target)->build, std::optional<qint64>(next));

        // The new install owns the name and answers from its window's loop.
        qint64 owner = 0;
        while (sinceUpdate.elapsed() < 30000) {
            owner = busOwner();
            if (owner && owner != oldPid && executableOf(owner) == target + QStringLiteral("/bin/vellora"))
                break;
            QTest::qWait(100);
        }
        QVERIFY2(owner && owner != oldPid, qPrintable(log()));
        QCOMPARE(executableOf(owner), target + QStringLiteral("/bin/vellora"));
        QDBusMessage activate = QDBusMessage::createMethodCall(
            QStringLiteral("com.quendle.vellora"), QStringLiteral("/com/quendle/vellora"),
            QStringLiteral("org.freedesktop.Application"), QStringLiteral("Activate"));
        activate << QVariantMap();
        const QDBusMessage answer = QDBusConnection::sessionBus().call(activate, QDBus::Block, 10000);
        QCOMPARE(answer.type(), QDBusMessage::ReplyMessage);
        QVERIFY2(sinceUpdate.elapsed() < 30000, qPrintable(QString::number(sinceUpdate.elapsed())));
        // Only one copy came up: the relaunched one did not give up on a taken name.
        QCOMPARE(runningFrom(root.path()), QList<qint64>{owner});
        QVERIFY2(!log().contains(QStringLiteral("another Vellora is running")), qPrintable(log()));
    }
};

QTEST_GUILESS_MAIN(TestUpdateRelaunch)
#include "tst_updaterelaunch.moc"
