#include "FakeUbiquity.h"
#include "LoopbackHttpServer.h"
#include "ScopedUbiquity.h"
#include "SeamGuard.h"

#include "PanelFixtures.h"

#include "views/SettingsView.h"
#include "views/WindowBackground.h"
#include "library/LibraryLocation.h"
#include "platform/LanguageModel.h"
#include "platform/Places.h"
#include "platform/Ubiquity.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

using namespace vellora;

namespace {
void clearSettings()
{
    for (const char *key : {"importScreenshots", "localStorageCapMB", "libraryLocation", "syncedFolder"})
        Defaults::standard().remove(QString::fromLatin1(key));
    Defaults::standard().remove(QString::fromLatin1(kLanguageModelURLKey));
    LibraryLocation::resetForTesting();
}
} // namespace

class TestSettingsView : public QObject {
    Q_OBJECT
    std::optional<SeamGuard> m_seams;
private slots:
    void init()
    {
        m_seams.emplace();
        clearSettings();
    }
    void cleanup() { m_seams.reset(); }
    void fieldsReadAndWriteTheDefaults();
    void capLabels();
    void testReportsReachability_data();
    void testReportsReachability();
    void syncedFolderNote();
    void capNoteSaysWhatHappensHere_data();
    void capNoteSaysWhatHappensHere();
    void moveLibraryIntoTheSyncedFolder();
    void screenshot();
};

void TestSettingsView::fieldsReadAndWriteTheDefaults()
{
    Defaults::standard().set(QStringLiteral("importScreenshots"), true);
    Defaults::standard().set(QStringLiteral("localStorageCapMB"), 2000);
    paneltest::Library lib(paneltest::document({paneltest::board("b", "Inbox")}, {}));
    SettingsView view(*lib.store);
    QVERIFY(view.importScreenshots());
    QCOMPARE(view.capMB(), 2000);
    QCOMPARE(view.capBox()->currentText(), QStringLiteral("2 GB"));
    QCOMPARE(view.location(), QStringLiteral("local"));
    QVERIFY(!view.inCloud());
    QVERIFY(!view.moving());

    QSignalSpy screenshots(&view, &SettingsView::importScreenshotsChanged);
    view.screenshotBox()->click();
    QCOMPARE(screenshots.size(), 1);
    QCOMPARE(Defaults::standard().boolean(QStringLiteral("importScreenshots"), true), false);
    view.capBox()->setCurrentIndex(view.capBox()->findText(QStringLiteral("500 MB")));
    QCOMPARE(Defaults::standard().integer(QStringLiteral("localStorageCapMB")), 500);
}

void TestSettingsView::capLabels()
{
    Defaults::standard().set(QStringLiteral("localStorageCapMB"), 750);
    paneltest::Library lib(paneltest::document({paneltest::board("b", "Inbox")}, {}));
    SettingsView view(*lib.store);
    QStringList labels;
    for (int i = 0; i < view.capBox()->count(); ++i)
        labels << view.capBox()->itemText(i);
    // A stored cap that the menu does not offer is shown as it is, in order.
    QCOMPARE(labels, (QStringList{"Unlimited", "500 MB", "750 MB", "1 GB", "2 GB", "5 GB", "10 GB", "20 GB", "50 GB"}));
    QCOMPARE(view.capBox()->currentText(), QStringLiteral("750 MB"));
}

void TestSettingsView::testReportsReachability_data()
{
    QTest::addColumn<QString>("server"); // "ok", "error", "closed", or an address to type
    QTest::addColumn<bool>("working");
    QTest::addColumn<QString>("text");
    QTest::newRow("server answers") << "ok" << true << "The server answered (HTTP 200).";
    QTest::newRow("an HTTP error is no working model") << "error" << false << "Test failed: the server answered HTTP 404.";
    QTest::newRow("nobody listens") << "closed" << false << "No answer: ";
    QTest::newRow("not http") << "ftp://127.0.0.1/models" << false << "Not an http or https address.";
}

void TestSettingsView::testReportsReachability()
{
    QFETCH(QString, server);
    QFETCH(bool, working);
    QFETCH(QString, text);
    LoopbackHttpServer ok, missing;
    ok.setFallback({200, "application/json", "{}"});
    missing.setFallback({404, "application/json", "{}"});
    QString address = server;
    if (server == QLatin1String("ok"))
        address = ok.url(QString());
    else if (server == QLatin1String("error"))
        address = missing.url(QString());
    else if (server == QLatin1String("closed")) {
        QTcpServer gone;
        gone.listen(QHostAddress::LocalHost, 0);
        address = QStringLiteral("http://127.0.0.1:%1").arg(gone.serverPort());
    }
    paneltest::Library lib(paneltest::document({paneltest::board("b", "Inbox")}, {}));
    SettingsView view(*lib.store);
    view.show();
    QTest::keyClicks(view.modelField(), address);
    QSignalSpy finished(&view, &SettingsView::testFinished);
    QTest::mouseClick(view.testButton(), Qt::LeftButton);
    // The window goes on while the server is asked.
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 10000);
    QCOMPARE(finished.at(0).at(0).toBool(), working);
    QVERIFY2(view.testResult().startsWith(text), qPrintable(view.testResult()));
    QCOMPARE(Defaults::standard().string(QString::fromLatin1(kLanguageModelURLKey)), address);
    QVERIFY(view.testButton()->isEnabled());
}

void TestSettingsView::syncedFolderNote()
{
    paneltest::Library lib(paneltest::document({paneltest::board("b", "Inbox")}, {}));
    SettingsView view(*lib.store);
    view.show();
    QTest::keyClicks(view.syncedFolderField(), lib.dir.path() + QStringLiteral("/nowhere"));
    QTest::keyClick(view.syncedFolderField(), Qt::Key_Return);
    QCOMPARE(view.syncedFolderNote()->text(), QStringLiteral("This folder does not exist."));
    view.syncedFolderField()->clear();
    QTest::keyClicks(view.syncedFolderField(), lib.dir.path());
    QTest::keyClick(view.syncedFolderField(), Qt::Key_Return);
    QCOMPARE(view.syncedFolderNote()->text(), QStringLiteral("Used when Vellora starts again."));
    QCOMPARE(Defaults::standard().string(QString::fromLatin1(kSyncedFolderKey)), lib.dir.path());
    // A cleared field removes the setting; it never stores an empty folder.
    view.syncedFolderField()->setText(QStringLiteral("   "));
    QTest::keyClick(view.syncedFolderField(), Qt::Key_Return);
    QVERIFY(!Defaults::standard().contains(QString::fromLatin1(kSyncedFolderKey)));
    QCOMPARE(view.syncedFolderNote()->text(), QStringLiteral("Without a synced folder the library stays on this computer."));
}

// The cap's note promises only what this computer's synced folder can do.
void TestSettingsView::capNoteSaysWhatHappensHere_data()
{
    QTest::addColumn<bool>("evicting");
    QTest::addColumn<QString>("saying");
    QTest::newRow("plain synced folder") << false << "nothing is removed above the cap";
    QTest::newRow("folder that can evict") << true << "the least recently opened originals are removed";
}

void TestSettingsView::capNoteSaysWhatHappensHere()
{
    QFETCH(bool, evicting);
    QFETCH(QString, saying);
    FakeUbiquity fake;
    std::optional<ScopedUbiquity> installed;
    if (evicting)
        installed.emplace(&fake);
    paneltest::Library lib(paneltest::document({paneltest::board("b", "Inbox")}, {}));
    SettingsView view(*lib.store);
    installed.reset();
    QVERIFY2(view.capNote()->text().contains(saying), qPrintable(view.capNote()->text()));
}

void TestSettingsView::moveLibraryIntoTheSyncedFolder()
{
    // This test empties the local library folder: only ever inside a test home.
    const QString home = qEnvironmentVariable("VELLORA_TEST_HOME");
    if (home.isEmpty() || !LibraryLocation::localURL().startsWith(home))
        QSKIP("needs the private home that CTest gives every test");
    QTemporaryDir synced;
    Defaults::standard().set(QString::fromLatin1(kSyncedFolderKey), synced.path());
    LibraryLocation::resetForTesting();
    const QString local = LibraryLocation::localURL();
    QDir(local).removeRecursively();
    QDir(local + QStringLiteral(".local-backup")).removeRecursively();
    QDir().mkpath(local);
    writeFileAtomically(local + QStringLiteral("/library.json"),
                        paneltest::document({paneltest::board("b", "Moodboard")}, {paneltest::image("i", {"b"})}).encode());
    LibraryStore store(local, false);
    QVERIFY(store.loaded());

    SettingsView view(store);
    view.show();
    QVERIFY(!view.moveButton()->isEnabled()); // already there
    view.locationBox()->setCurrentIndex(int(SettingsView::locations().indexOf(QStringLiteral("iclouddrive"))));
    QVERIFY(view.inCloud());
    QVERIFY(view.moveButton()->isEnabled());
    QSignalSpy status(&view, &SettingsView::statusChanged);
    QSignalSpy finished(&view, &SettingsView::moveFinished);
    QTest::mouseClick(view.moveButton(), Qt::LeftButton);
    QVERIFY(view.moving());
    QVERIFY(!view.moveButton()->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 20000);
    QVERIFY2(finished.at(0).at(0).toBool(), qPrintable(view.status()));
    QStringList lines;
    for (const auto &signal : status)
        lines << signal.at(0).toString();
    QVERIFY(lines.contains(QStringLiteral("Moving library.json…")));
    QCOMPARE(lines.last(), QStringLiteral("Done"));
    QCOMPARE(view.statusLabel()->text(), QStringLiteral("Done"));

    const QString drive = QDir::cleanPath(synced.path() + QStringLiteral("/Vellora.library"));
    QCOMPARE(finished.at(0).at(1).toString(), drive);
    QCOMPARE(Defaults::standard().string(QStringLiteral("libraryLocation")), QStringLiteral("iclouddrive"));
    QCOMPARE(store.root(), drive);
    QTRY_VERIFY(store.loaded() && !store.collections().isEmpty());
    QCOMPARE(store.collections().first().name, QStringLiteral("Moodboard"));
    QVERIFY(QFileInfo::exists(drive + QStringLiteral("/library.json")));
    QVERIFY(!view.moving());
    QVERIFY(!view.moveButton()->isEnabled());
    QDir(local + QStringLiteral(".local-backup")).removeRecursively();
}

void TestSettingsView::screenshot()
{
    Defaults::standard().set(QStringLiteral("importScreenshots"), true);
    Defaults::standard().set(QString::fromLatin1(kLanguageModelURLKey), QStringLiteral("http://127.0.0.1:8080"));
    paneltest::Library lib(paneltest::document({paneltest::board("b", "Inbox")}, {}));
    SettingsView view(*lib.store);
    view.resize(560, 560);
    view.show();
    const QImage shot = paneltest::shoot(view, QStringLiteral("settings"));
    QCOMPARE(QColor(shot.pixel(4, 4)), windowBackground());
    // The checked box is blue; the fields carry their text.
    const QRect box(view.screenshotBox()->mapTo(&view, QPoint(0, 0)), QSize(24, view.screenshotBox()->height()));
    QVERIFY(paneltest::hasColour(shot, box, QColor(10, 132, 255), 20));
    const QRect field(view.modelField()->mapTo(&view, QPoint(0, 0)), view.modelField()->size());
    QVERIFY(paneltest::brightPixels(shot, field.adjusted(6, 6, -6, -6), 150) > 30);
    const QRect cap(view.capBox()->mapTo(&view, QPoint(0, 0)), view.capBox()->size());
    QVERIFY(paneltest::brightPixels(shot, cap.adjusted(6, 6, -20, -6), 150) > 20);
}

QTEST_MAIN(TestSettingsView)
#include "tst_settingsview.moc"
