// The store beside other processes: a second writer of library.json, and a
// saving process killed at random moments.

#include "ManualScheduler.h"
#include "ScopedScheduler.h"

#include "library/LibraryStore.h"

#include "platform/Clock.h"
#include "platform/FileCoordination.h"
#include "platform/Scheduler.h"

#include "StoreFixtures.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

using namespace vellora;
using namespace storetest;

class TestLibraryProcesses : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString root() const { return m_dir->path() + "/Library"; }
    QString file() const { return root() + "/library.json"; }

    static bool decodes(const QByteArray &bytes, LibraryFile *out = nullptr)
    {
        try {
            LibraryFile file = LibraryFile::decode(bytes);
            if (out)
                *out = file;
            return true;
        } catch (const std::exception &) {
            return false;
        }
    }

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        QDir().mkpath(root());
    }

    // Another program adds to library.json while the store saves: every read
    // decodes, and both sides' edits are in the file at the end.
    void secondWriter()
    {
        ManualScheduler scheduler;
        ScopedScheduler scoped(&scheduler);
        QVERIFY(writeFile(file(), document({board("DEF", "Inbox")})));
        LibraryStore store(root(), false);
        QVERIFY(store.loaded());

        const int versions = 60;
        QProcess writer;
        writer.start(QStringLiteral(STORE_HELPER), {"write-loop", root(), QString::number(versions)});
        QVERIFY(writer.waitForStarted());
        QStringList mine;
        int reads = 0;
        int failedReads = 0;
        while (writer.state() != QProcess::NotRunning) {
            mine << store.createCollection(QStringLiteral("mine-%1").arg(mine.size()));
            QVERIFY(store.save());
            const auto bytes = coordinatedReadData(file(), 10.0);
            ++reads;
            if (!bytes || !decodes(*bytes))
                ++failedReads;
            writer.waitForFinished(2);
        }
        QCOMPARE(writer.exitCode(), 0);
        mine << store.createCollection("last");
        QVERIFY(store.save());

        QCOMPARE(failedReads, 0);
        QVERIFY(reads > 0);
        LibraryFile final;
        QVERIFY(decodes(readFile(file()), &final));
        QStringList written;
        for (const Board &b : final.collections)
            written << b.id;
        for (const QString &id : mine)
            QVERIFY(written.contains(id));
        // The other side's items were merged in.
        QCOMPARE(final.items.size(), versions);

        // Every version the store wrote over is also kept as it was.
        const QString backups = root() + "/backups";
        QVERIFY(!entries(backups, {"conflict-*"}).isEmpty());
        for (const QString &name : entries(backups, {"conflict-*"}))
            QVERIFY(decodes(readFile(backups + "/" + name)));
        qInfo("%d saves beside the writer, %d versions kept", int(mine.size()),
              int(entries(backups, {"conflict-*"}).size()));
    }

    // kill -9 in the middle of a save loop, again and again: the file always
    // decodes, as one whole version.
    void killedWhileSaving()
    {
        int progressed = 0;
        for (int round = 0; round < 12; ++round) {
            QProcess saver;
            // A settings file of its own per round: a kill in the middle of
            // a settings write leaves that file's lock behind, which is not
            // what this test is about.
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert("XDG_CONFIG_HOME", m_dir->path() + QStringLiteral("/config-%1").arg(round));
            saver.setProcessEnvironment(environment);
            saver.start(QStringLiteral(STORE_HELPER), {"save-loop", root()});
            QVERIFY(saver.waitForStarted());
            QVERIFY(saver.waitForReadyRead(10000));
            QVERIFY(saver.readAllStandardOutput().contains("ready"));
            QTest::qWait(5 + QRandomGenerator::global()->bounded(60));
            saver.kill();
            QVERIFY(saver.waitForFinished(5000));

            LibraryFile file;
            QVERIFY2(decodes(readFile(this->file()), &file), qPrintable(QString("round %1").arg(round)));
            // One whole version: the collections a run added are 0, 1, ... n-1 after the Inbox.
            QVERIFY(file.collections.size() >= 1);
            QCOMPARE(file.collections.first().name, QStringLiteral("Inbox"));
            for (qsizetype i = 1; i < file.collections.size(); ++i)
                QCOMPARE(file.collections.at(i).name, QString::number(i - 1));
            progressed += file.collections.size() > 1 ? 1 : 0;
            qInfo("round %d: killed after %d saves", round, int(file.collections.size()));
            QVERIFY(file.items.size() >= 300);
            // Start the next round from a fresh library, so each round's version is checked alone.
            QFile::remove(this->file());
        }
        QVERIFY(progressed > 0);
    }

    // The same with the saves on the background writer of a larger library,
    // handed one snapshot after another from the event loop: whatever the
    // writer was doing at the kill, the file is one whole version.
    void killedWhileSavingInTheBackground()
    {
        const int count = 4000;
        int progressed = 0;
        for (int round = 0; round < 10; ++round) {
            QProcess saver;
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert("XDG_CONFIG_HOME", m_dir->path() + QStringLiteral("/background-config-%1").arg(round));
            saver.setProcessEnvironment(environment);
            saver.start(QStringLiteral(STORE_HELPER), {"background-save-loop", root(), QString::number(count)});
            QVERIFY(saver.waitForStarted());
            QVERIFY(saver.waitForReadyRead(20000));
            QVERIFY(saver.readAllStandardOutput().contains("ready"));
            QTest::qWait(10 + QRandomGenerator::global()->bounded(150));
            saver.kill();
            QVERIFY(saver.waitForFinished(5000));

            LibraryFile file;
            QVERIFY2(decodes(readFile(this->file()), &file), qPrintable(QString("round %1").arg(round)));
            QCOMPARE(file.collections.first().name, QStringLiteral("Inbox"));
            for (qsizetype i = 1; i < file.collections.size(); ++i)
                QCOMPARE(file.collections.at(i).name, QString::number(i - 1));
            QCOMPARE(file.items.size(), count);
            progressed += file.collections.size() > 1 ? 1 : 0;
            qInfo("round %d: killed after %d collections were written", round, int(file.collections.size() - 1));
            QFile::remove(this->file());
        }
        QVERIFY(progressed > 0);
    }
};

QTEST_GUILESS_MAIN(TestLibraryProcesses)
#include "tst_libraryprocesses.moc"
