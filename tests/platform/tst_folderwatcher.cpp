// The folder watcher and the file presenter on real inotify.

#include "platform/FilePresenter.h"
#include "platform/AtomicFile.h"
#include "platform/FolderWatcher.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace vellora;

namespace {
void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

// What another program's atomic save does: a temporary name, then a rename.
void replaceAtomically(const QString &path, const QByteArray &bytes)
{
    writeFile(path + QStringLiteral(".tmp"), bytes);
    QVERIFY(QFile::rename(path + QStringLiteral(".tmp"), path) || (QFile::remove(path) && QFile::rename(path + QStringLiteral(".tmp"), path)));
}
} // namespace

class TestFolderWatcher : public QObject {
    Q_OBJECT

private slots:
    void reportsEntriesByNameAndKind()
    {
        QTemporaryDir dir;
        FolderWatcher watcher;
        QVERIFY(watcher.watch(dir.path()));
        QSignalSpy spy(&watcher, &FolderWatcher::changed);

        writeFile(dir.filePath(QStringLiteral("a.png")), "x");
        QTRY_VERIFY(spy.count() >= 2);
        FolderWatcher::Events seen;
        for (const auto &signal : spy)
            if (signal.at(0).toString() == QLatin1String("a.png"))
                seen |= signal.at(1).value<FolderWatcher::Events>();
        QVERIFY(seen.testFlag(FolderWatcher::Created));
        QVERIFY(seen.testFlag(FolderWatcher::ClosedWrite));

        spy.clear();
        QVERIFY(QFile::rename(dir.filePath(QStringLiteral("a.png")), dir.filePath(QStringLiteral("b.png"))));
        QTRY_COMPARE(spy.count(), 1); // moved-out is not asked for by default
        QCOMPARE(spy.first().at(0).toString(), QStringLiteral("b.png"));
        QCOMPARE(spy.first().at(1).value<FolderWatcher::Events>(), FolderWatcher::Events(FolderWatcher::MovedIn));

        spy.clear();
        QVERIFY(QFile::remove(dir.filePath(QStringLiteral("b.png"))));
        QTRY_COMPARE(spy.count(), 1);
        QCOMPARE(spy.first().at(1).value<FolderWatcher::Events>(), FolderWatcher::Events(FolderWatcher::Deleted));
    }

    void pairsRenamesWithinTheFolder()
    {
        QTemporaryDir dir;
        QTemporaryDir elsewhere;
        FolderWatcher watcher;
        QVERIFY(watcher.watch(dir.path(), FolderWatcher::Events(FolderWatcher::MovedIn | FolderWatcher::MovedOut)));
        QSignalSpy changed(&watcher, &FolderWatcher::changed);
        QSignalSpy renamed(&watcher, &FolderWatcher::renamed);

        writeFile(dir.filePath(QStringLiteral("a.tmp")), "x");
        QVERIFY(QFile::rename(dir.filePath(QStringLiteral("a.tmp")), dir.filePath(QStringLiteral("a.png"))));
        QTRY_COMPARE(changed.count(), 2);
        QCOMPARE(renamed.count(), 1);
        QCOMPARE(renamed.first(), (QList<QVariant>{QStringLiteral("a.tmp"), QStringLiteral("a.png")}));

        // Across the folder's edge in either direction there is no pair.
        writeFile(elsewhere.filePath(QStringLiteral("in.png")), "x");
        QVERIFY(QFile::rename(elsewhere.filePath(QStringLiteral("in.png")), dir.filePath(QStringLiteral("in.png"))));
        QVERIFY(QFile::rename(dir.filePath(QStringLiteral("a.png")), elsewhere.filePath(QStringLiteral("out.png"))));
        QTRY_COMPARE(changed.count(), 4);
        QCOMPARE(renamed.count(), 1);
    }

    void nameFilterAndTheFolderGoing()
    {
        QTemporaryDir dir;
        const QString folder = dir.filePath(QStringLiteral("watched"));
        QVERIFY(QDir().mkpath(folder));
        FolderWatcher watcher;
        watcher.setNameFilter(QStringLiteral("library.json"));
        QVERIFY(watcher.watch(folder));
        QSignalSpy changed(&watcher, &FolderWatcher::changed);
        QSignalSpy gone(&watcher, &FolderWatcher::folderGone);

        writeFile(folder + QStringLiteral("/other.json"), "{}");
        writeFile(folder + QStringLiteral("/library.json"), "{}");
        QTRY_VERIFY(changed.count() >= 1);
        for (const auto &signal : changed)
            QCOMPARE(signal.at(0).toString(), QStringLiteral("library.json"));

        QVERIFY(QDir(folder).removeRecursively());
        QTRY_COMPARE(gone.count(), 1);
        QVERIFY(!watcher.isWatching());
        QVERIFY(!watcher.watch(folder)); // no folder, no watch
        QVERIFY(!watcher.watch(dir.filePath(QStringLiteral("missing"))));
    }

    void presenterIgnoresOwnSavesOnly()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("library.json"));
        FilePresenter presenter;
        QVERIFY(presenter.present(path));
        QSignalSpy spy(&presenter, &FilePresenter::presentedItemDidChange);

        // Our own atomic saves, noted as they land, are not reported.
        for (int i = 0; i < 3; ++i) {
            writeFileAtomically(path, QByteArray("own ") + QByteArray::number(i));
            FilePresenter::noteOwnWrite(path);
        }
        QTest::qWait(200);
        QCOMPARE(spy.count(), 0);

        // Someone else replacing it, writing it in place or removing it is.
        replaceAtomically(path, "theirs");
        QTRY_VERIFY(spy.count() >= 1);
        spy.clear();
        writeFile(path, "theirs again");
        QTRY_VERIFY(spy.count() >= 1);
        spy.clear();
        QVERIFY(QFile::remove(path));
        QTRY_VERIFY(spy.count() >= 1);
    }
};

QTEST_GUILESS_MAIN(TestFolderWatcher)
#include "tst_folderwatcher.moc"
