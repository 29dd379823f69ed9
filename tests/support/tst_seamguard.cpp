// The guard puts every seam back as the case found it: a replacement made
// during the case is gone, and what the test program installed before
// (initTestCase, or the program's own defaults) is in use again.

#include "FakeUbiquity.h"
#include "ManualClock.h"
#include "ManualScheduler.h"
#include "SeamGuard.h"

#include "enrichment/AddressPolicy.h"
#include "enrichment/LinkPipeline.h"
#include "enrichment/PageSnapshotter.h"
#include "library/Services.h"
#include "platform/Clock.h"
#include "platform/FileManager.h"
#include "platform/Scheduler.h"
#include "platform/Ubiquity.h"
#include "views/CollectionContents.h"

#include <QApplication>
#include <QTest>

using namespace vellora;

namespace {
// Who answered a call through a function seam: the test program's own hook
// or the one a case put in its place.
QString g_answered;

// The store's hooks take a store: these two are told apart by what they are.
void programSync(LibraryStore &) {}
void caseSync(LibraryStore &) {}
using SyncHook = void (*)(LibraryStore &);

void replace(const QString &seam, ManualClock &clock, ManualScheduler &scheduler, FakeUbiquity &ubiquity)
{
    if (seam == "clock")
        Clock::setCurrent(&clock);
    else if (seam == "scheduler")
        Scheduler::setMain(&scheduler);
    else if (seam == "ubiquity")
        Ubiquity::setCurrent(&ubiquity);
    else if (seam == "library services")
        LibraryServices::installed().startSync = &caseSync;
    else if (seam == "link services")
        LinkPipelineServices::installed().openURL = [](const QUrl &) { g_answered = "case"; };
    else if (seam == "page snapshots")
        setPageSnapshotFactory([] {
            g_answered = "case";
            return std::unique_ptr<PageSnapshotRun>();
        });
    else if (seam == "open folder")
        FileManager::setOpenFolder([](const QUrl &) { g_answered = "case"; });
    else if (seam == "destructive alert")
        setDestructiveAlert([](QWidget *, const QString &, const QString &, const QString &) {
            g_answered = "case";
            return true;
        });
    else if (seam == "address rules")
        AddressPolicy::Rules::installed().forbidden = [](const QHostAddress &) {
            g_answered = "case";
            return true;
        };
}

// Calls through the seam; the pointer seams tell their object instead.
QString answer(const QString &seam, Clock *realClock, Scheduler *realScheduler, Ubiquity *realUbiquity)
{
    g_answered.clear();
    if (seam == "clock")
        return &Clock::current() == realClock ? "program" : "case";
    if (seam == "scheduler")
        return &Scheduler::main() == realScheduler ? "program" : "case";
    if (seam == "ubiquity")
        return &Ubiquity::current() == realUbiquity ? "program" : "case";
    if (seam == "library services") {
        const SyncHook *hook = LibraryServices::installed().startSync.target<SyncHook>();
        return hook && *hook == &programSync ? "program" : "case";
    }
    if (seam == "link services")
        LinkPipelineServices::installed().openURL(QUrl());
    else if (seam == "page snapshots")
        currentPageSnapshotFactory()();
    else if (seam == "open folder")
        FileManager::currentOpenFolder()(QUrl());
    else if (seam == "destructive alert")
        destructiveAlert()(nullptr, {}, {}, {});
    else if (seam == "address rules")
        AddressPolicy::Rules::installed().forbidden(QHostAddress::LocalHost);
    return g_answered;
}
} // namespace

class SeamGuardTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The test program's own hooks, as a test installs them once for all its cases.
        LibraryServices::installed().startSync = &programSync;
        LinkPipelineServices::installed().openURL = [](const QUrl &) { g_answered = "program"; };
        setPageSnapshotFactory([] {
            g_answered = "program";
            return std::unique_ptr<PageSnapshotRun>();
        });
        FileManager::setOpenFolder([](const QUrl &) { g_answered = "program"; });
        setDestructiveAlert([](QWidget *, const QString &, const QString &, const QString &) {
            g_answered = "program";
            return false;
        });
        AddressPolicy::Rules::installed().forbidden = [](const QHostAddress &) {
            g_answered = "program";
            return false;
        };
    }

    void putsEachSeamBack_data()
    {
        QTest::addColumn<QString>("seam");
        for (const char *seam : {"clock", "scheduler", "ubiquity", "library services", "link services",
                                 "page snapshots", "open folder", "destructive alert", "address rules"})
            QTest::newRow(seam) << QString::fromLatin1(seam);
    }

    void putsEachSeamBack()
    {
        QFETCH(QString, seam);
        Clock *realClock = &Clock::current();
        Scheduler *realScheduler = &Scheduler::main();
        Ubiquity *realUbiquity = &Ubiquity::current();
        QCOMPARE(answer(seam, realClock, realScheduler, realUbiquity), QString("program"));
        {
            ManualClock clock;
            ManualScheduler scheduler;
            FakeUbiquity ubiquity;
            SeamGuard guard;
            replace(seam, clock, scheduler, ubiquity);
            QCOMPARE(answer(seam, realClock, realScheduler, realUbiquity), QString("case"));
        }
        QCOMPARE(answer(seam, realClock, realScheduler, realUbiquity), QString("program"));
    }
};

QTEST_MAIN(SeamGuardTest)
#include "tst_seamguard.moc"
