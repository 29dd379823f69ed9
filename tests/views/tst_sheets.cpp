#include "PanelFixtures.h"

#include "views/AddLinkSheet.h"
#include "views/LoadErrorBanner.h"
#include "library/LibraryFileAccess.h"

#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>

using namespace vellora;

namespace {
QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A library whose library.json does not decode, with three backups: an old
// and a newer good one, and a newest damaged one.
struct DamagedLibrary {
    QTemporaryDir dir;
    QString root;
    QByteArray damaged = "{\"collections\": [";
    QString oldBackup, newBackup, badBackup;

    DamagedLibrary()
    {
        root = dir.path() + QStringLiteral("/Library");
        QDir().mkpath(root + QStringLiteral("/backups"));
        writeFileAtomically(root + QStringLiteral("/library.json"), damaged);
        const double t = now() - 3600;
        oldBackup = root + QStringLiteral("/backups/") + libraryBackupName(QStringLiteral("library"), t, 1);
        newBackup = root + QStringLiteral("/backups/") + libraryBackupName(QStringLiteral("library"), t + 600, 2);
        badBackup = root + QStringLiteral("/backups/") + libraryBackupName(QStringLiteral("library"), t + 1200, 3);
        writeFileAtomically(oldBackup, paneltest::document({paneltest::board("b", "Old")}, {}).encode());
        writeFileAtomically(newBackup, paneltest::document({paneltest::board("b", "Newer")}, {}).encode());
        writeFileAtomically(badBackup, "not json");
    }
};
} // namespace

class TestSheets : public QObject {
    Q_OBJECT
private slots:
    void addLink_data();
    void addLink();
    void addLinkCancel();
    void bannerHiddenWithoutError();
    void bannerListsBackupsAndWritesNothing();
    void bannerIsOpaque();
    void damagedBackupIsRefused();
    void restoreLoadsTheLibrary();
    void menuOffersTheNewestTen();
};

void TestSheets::addLink_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("added"); // empty: Add stays disabled
    QTest::newRow("bare host") << "example.com/page" << "https://example.com/page";
    QTest::newRow("full address") << "http://shop.example.org/a?b=1" << "http://shop.example.org/a?b=1";
    QTest::newRow("blanks around") << "  example.com  " << "https://example.com";
    QTest::newRow("words") << "not a link" << "";
    QTest::newRow("other scheme") << "ftp://example.com/x" << "";
    QTest::newRow("undotted host") << "localhost" << "";
}

void TestSheets::addLink()
{
    QFETCH(QString, typed);
    QFETCH(QString, added);
    AddLinkSheet sheet;
    QStringList calls;
    sheet.add = [&](const QString &url) { calls << url; };
    sheet.show();
    QVERIFY(!sheet.addButton()->isEnabled());
    QTest::keyClicks(sheet.field(), typed);
    QCOMPARE(sheet.addButton()->isEnabled(), !added.isEmpty());
    QCOMPARE(sheet.hintLabel()->text().isEmpty(), !added.isEmpty());
    QTest::keyClick(sheet.field(), Qt::Key_Return);
    if (added.isEmpty()) {
        QVERIFY(calls.isEmpty());
        QVERIFY(sheet.isVisible());
    } else {
        QCOMPARE(calls, QStringList{added});
        QCOMPARE(sheet.result(), int(QDialog::Accepted));
    }
}

void TestSheets::addLinkCancel()
{
    AddLinkSheet sheet;
    int calls = 0;
    sheet.add = [&](const QString &) { ++calls; };
    sheet.show();
    QTest::keyClicks(sheet.field(), QStringLiteral("example.com"));
    QTest::keyClick(sheet.field(), Qt::Key_Escape);
    QCOMPARE(sheet.result(), int(QDialog::Rejected));
    QCOMPARE(calls, 0);
}

void TestSheets::bannerHiddenWithoutError()
{
    paneltest::Library lib(paneltest::document({paneltest::board("b", "Inbox")}, {}));
    QWidget window;
    LoadErrorBanner banner(*lib.store, &window);
    window.show();
    QVERIFY(!banner.isVisible());
}

// Nothing of what lies under the banner shows through it: not through the
// panel, nor at its rounded corners. A white page makes any of it plain.
void TestSheets::bannerIsOpaque()
{
    DamagedLibrary lib;
    LibraryStore store(lib.root, false);
    QWidget window;
    window.setAutoFillBackground(true);
    QPalette white = window.palette();
    white.setColor(QPalette::Window, Qt::white);
    window.setPalette(white);
    LoadErrorBanner banner(store, &window);
    banner.setGeometry(10, 10, 600, 90);
    window.resize(620, 110);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY(banner.isVisible());
    const QImage shot = window.grab().toImage();
    const QPoint origin = banner.geometry().topLeft();
    // A corner outside the rounded panel, and the panel's edge left of the text.
    const QColor corner = shot.pixelColor(origin + QPoint(1, 1));
    const QColor panel = shot.pixelColor(origin + QPoint(9, banner.height() / 2));
    QVERIFY2(corner.lightness() < 60, qPrintable(corner.name()));
    QVERIFY2(qAbs(panel.red() - 113) <= 2 && qAbs(panel.green() - 35) <= 2 && qAbs(panel.blue() - 28) <= 2,
             qPrintable(panel.name()));
}

void TestSheets::bannerListsBackupsAndWritesNothing()
{
    DamagedLibrary lib;
    LibraryStore store(lib.root, false);
    QVERIFY(!store.loadError().isEmpty());
    QWidget window;
    auto *layout = new QVBoxLayout(&window);
    layout->setContentsMargins(0, 0, 0, 0);
    LoadErrorBanner banner(store, &window);
    layout->addWidget(&banner);
    layout->addStretch(1);
    window.resize(720, 110);
    window.show();
    QVERIFY(banner.isVisible());
    QVERIFY(banner.message().contains(store.loadError()));
    QTRY_COMPARE(banner.backups().size(), 3);
    QCOMPARE(banner.backups(), (QStringList{lib.badBackup, lib.newBackup, lib.oldBackup}));
    std::unique_ptr<QMenu> menu(banner.buildMenu());
    QCOMPARE(menu->actions().size(), 3);
    QVERIFY(!menu->actions().first()->text().startsWith(QStringLiteral("library-"))); // a date, not a file name
    // Listing and showing the menu wrote nothing.
    QCOMPARE(readAll(lib.root + QStringLiteral("/library.json")), lib.damaged);

    const QImage shot = paneltest::shoot(window, QStringLiteral("loaderrorbanner"));
    QVERIFY(paneltest::hasColour(shot, banner.geometry(), QColor(120, 36, 28), 30));
    const QRect button(banner.restoreButton()->mapTo(&window, QPoint(0, 0)), banner.restoreButton()->size());
    QVERIFY(paneltest::brightPixels(shot, button.adjusted(8, 6, -8, -6), 170) > 20);
}

void TestSheets::damagedBackupIsRefused()
{
    DamagedLibrary lib;
    LibraryStore store(lib.root, false);
    LoadErrorBanner banner(store);
    QTRY_COMPARE(banner.backups().size(), 3);
    QSignalSpy finished(&banner, &LoadErrorBanner::restoreFinished);
    std::unique_ptr<QMenu> menu(banner.buildMenu());
    menu->actions().first()->trigger(); // the newest, damaged one
    QTRY_COMPARE(finished.size(), 1);
    QCOMPARE(finished.at(0).at(0).toBool(), false);
    QCOMPARE(readAll(lib.root + QStringLiteral("/library.json")), lib.damaged);
    QVERIFY(!store.loaded());
    QVERIFY(banner.restoreButton()->isEnabled());
}

void TestSheets::restoreLoadsTheLibrary()
{
    DamagedLibrary lib;
    LibraryStore store(lib.root, false);
    QWidget window;
    LoadErrorBanner banner(store, &window);
    window.show();
    QTRY_COMPARE(banner.backups().size(), 3);
    QSignalSpy finished(&banner, &LoadErrorBanner::restoreFinished);
    std::unique_ptr<QMenu> menu(banner.buildMenu());
    menu->actions().at(1)->trigger(); // the newer good one
    QTRY_COMPARE(finished.size(), 1);
    QVERIFY2(finished.at(0).at(0).toBool(), qPrintable(finished.at(0).at(1).toString()));
    QTRY_VERIFY(store.loaded());
    QCOMPARE(store.loadError(), QString());
    QCOMPARE(store.collections().first().name, QStringLiteral("Newer"));
    QCOMPARE(readAll(lib.root + QStringLiteral("/library.json")), readAll(lib.newBackup));
    QVERIFY(!banner.isVisible());
}

void TestSheets::menuOffersTheNewestTen()
{
    DamagedLibrary lib;
    for (int i = 0; i < 12; ++i)
        writeFileAtomically(lib.root + QStringLiteral("/backups/")
                                + libraryBackupName(QStringLiteral("library"), now() - 3500 + i, 100 + i),
                            "{}");
    const QStringList listed = LoadErrorBanner::listBackups(lib.root + QStringLiteral("/backups"), 10);
    QCOMPARE(listed.size(), 10);
    QCOMPARE(listed.first(), lib.badBackup);
    QVERIFY(!listed.contains(lib.oldBackup));
}

QTEST_MAIN(TestSheets)
#include "tst_sheets.moc"
