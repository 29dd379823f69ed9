#include "CommandLineFixture.h"

#include <QDir>
#include <QFile>

namespace {
void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}
} // namespace

class CommandLineTest : public QObject {
    Q_OBJECT

private slots:
    void printContainerWithoutCloudPlace()
    {
        ProgramFixture fixture;
        // Also with an empty value, and beating the migration and the options.
        VERIFY_RUN(fixture.run({"--import", "a.png"}, {"VELLORA_PRINT_CONTAINER=", "VELLORA_MIGRATE=local"}), 0,
                   "no iCloud container (signed build with the iCloud entitlement needed)\n");
        QVERIFY(!QFile::exists(fixture.root() + "/library.json"));
    }

    void printContainerInsideTheSyncedFolder()
    {
        ProgramFixture fixture;
        const QString synced = fixture.home() + "/Sync";
        QDir().mkpath(synced);
        VERIFY_RUN(fixture.run({}, {"VELLORA_PRINT_CONTAINER=1", "VELLORA_MIGRATE", "-syncedFolder"}), 0,
                   "no iCloud container (signed build with the iCloud entitlement needed)\n");
        // The synced folder is a user default; the argument domain names it too.
        const ProgramRun run = fixture.run({"-syncedFolder", synced}, {"VELLORA_PRINT_CONTAINER=1"});
        VERIFY_RUN(run, 0, synced + "/iCloud.com.quendle.vellora/Data\n");
    }

    void migratePrintsTheMovedTableAndBackup()
    {
        ProgramFixture fixture;
        writeFile(fixture.root() + "/library.json", "{}");
        writeFile(fixture.root() + "/originals/a.png", "a");
        writeFile(fixture.root() + "/originals/b.png", "b");
        const ProgramRun run = fixture.run({}, {"VELLORA_MIGRATE=local"});
        const QString local = fixture.home() + "/data/Vellora";
        VERIFY_RUN(run, 0,
                   "Moving library.json\u2026\nMoving originals\u2026\nDone\n"
                   "moved [\"library.json\": 1, \"originals\": 2], backup at "
                       + fixture.root() + ".backup\n");
        QVERIFY(QFile::exists(local + "/originals/b.png"));
        QVERIFY(QFile::exists(fixture.root() + ".backup"));
        QDir(fixture.root() + ".backup").removeRecursively();
    }

    void migrateFailureEndsWithOne()
    {
        ProgramFixture fixture;
        writeFile(fixture.root() + "/library.json", "{}");
        VERIFY_RUN(fixture.run({}, {"VELLORA_MIGRATE=icloud"}), 1,
                   "migration failed: iCloud isn't available to Vellora\n");
        QVERIFY(QFile::exists(fixture.root() + "/library.json"));
    }

    // The name is compared exactly: another letter case is no match.
    void shareUnknownCollection()
    {
        ProgramFixture fixture;
        VERIFY_RUN(fixture.run({"--share", "inbox"}), 0, "no collection named inbox\n");
    }

    // "--share" as the last argument is ignored and the update mode runs; a
    // feed that can't be reached offers nothing, which ends with status 1.
    void shareLastRunsUpdate()
    {
        ProgramFixture fixture;
        const QString target = fixture.root() + "/Vellora.app";
        const ProgramRun run = fixture.run({"--update", "-VELLORA_APPCAST_URL", "http://127.0.0.1:1/appcast.json",
                                            "-VELLORA_UPDATE_TARGET", target, "--share"});
        QVERIFY2(!run.crashed, qPrintable(run.err));
        QCOMPARE(run.status, 1);
        const QStringList lines = run.lines();
        QCOMPARE(lines.size(), 2);
        QVERIFY(lines[0].startsWith("[update] current "));
        QVERIFY(lines[0].endsWith(", feed http://127.0.0.1:1/appcast.json, target " + target));
        QVERIFY(lines[1].startsWith("[update] appcast offers nothing newer: Couldn't check for updates: "));
        QVERIFY(!QFile::exists(target));
    }
};

QTEST_GUILESS_MAIN(CommandLineTest)
#include "tst_commandline.moc"
