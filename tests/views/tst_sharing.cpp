// Handing items to other programs: the Share menu's entries and the file
// manager's D-Bus call with its fallback. Runs under a session bus of its
// own (dbus-run-session), where a fake file manager answers.
#include "GridFixtures.h"
#include "SeamGuard.h"

#include "views/ShareMenu.h"

#include "library/Media.h"
#include "platform/FileManager.h"

#include <QApplication>
#include <QClipboard>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QFile>
#include <QMenu>
#include <QMimeData>
#include <QSignalSpy>
#include <QTest>

#include <optional>

using namespace vellora;

class FakeFileManager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")
public:
    QList<QStringList> calls;
public slots:
    void ShowItems(const QStringList &uris, const QString &startupId)
    {
        Q_UNUSED(startupId);
        calls << uris;
    }
};

class SharingTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void shareMenuEntries();
    void copyHandsOverPrivateCopiesAndAddresses();
    void fileManagerShowsItems();
    void fileManagerFallsBackToTheFolder();
    void fileManagerIgnoresAddresses();

private:
    QList<QUrl> m_opened;
    std::optional<SeamGuard> m_seams;
};

void SharingTest::init()
{
    m_seams.emplace();
    FileManager::setOpenFolder([this](const QUrl &folder) { m_opened << folder; });
}

void SharingTest::cleanup() { m_seams.reset(); }

void SharingTest::shareMenuEntries()
{
    gridtest::Library lib;
    const QStringList pictures = lib.addPictures({Qt::red});
    const Item picture = *lib.store->item(pictures.first());
    const Item link = gridtest::link("L", "https://example.org/a", {lib.inbox()});
    Item noAddress = gridtest::link("N", "not an address", {lib.inbox()});
    noAddress.sourceURL.reset();

    auto entries = [&](const QList<Item> &items) {
        std::unique_ptr<QMenu> menu(makeShareMenu(*lib.store, items, nullptr));
        QStringList out;
        if (menu)
            for (QAction *action : menu->actions())
                out << action->text();
        return out;
    };
    QCOMPARE(entries({picture}), (QStringList{"Copy", "Open With…", "Show in File Manager"}));
    QCOMPARE(entries({link}), (QStringList{"Copy", "Open With…"}));
    QCOMPARE(entries({link, picture}), (QStringList{"Copy", "Open With…", "Show in File Manager"}));
    // Nothing to hand over: no menu at all.
    QCOMPARE(entries({noAddress}), QStringList{});
}

void SharingTest::copyHandsOverPrivateCopiesAndAddresses()
{
    gridtest::Library lib;
    const QStringList pictures = lib.addPictures({Qt::blue});
    const Item picture = *lib.store->item(pictures.first());
    const Item link = gridtest::link("L", "https://example.org/a", {lib.inbox()});
    std::unique_ptr<QMenu> menu(makeShareMenu(*lib.store, {picture, link}, nullptr));
    QApplication::clipboard()->clear();
    menu->actions().at(0)->trigger();
    QTRY_VERIFY(QApplication::clipboard()->mimeData() && QApplication::clipboard()->mimeData()->hasUrls());
    const QList<QUrl> urls = QApplication::clipboard()->mimeData()->urls();
    QCOMPARE(urls.size(), 2);
    QVERIFY(urls.at(0).isLocalFile());
    // A copy outside the library under the original's name, never the
    // library's own file.
    QCOMPARE(QFileInfo(urls.at(0).toLocalFile()).fileName(), picture.originalFilename);
    QVERIFY(!urls.at(0).toLocalFile().startsWith(lib.root()));
    QFile copy(urls.at(0).toLocalFile());
    QFile original(originalPath(lib.root(), picture.storedFilename));
    QVERIFY(copy.open(QIODevice::ReadOnly) && original.open(QIODevice::ReadOnly));
    QCOMPARE(copy.readAll(), original.readAll());
    QCOMPARE(urls.at(1), QUrl("https://example.org/a"));
    QVERIFY(QApplication::clipboard()->mimeData()->text().endsWith("\nhttps://example.org/a"));
}

void SharingTest::fileManagerShowsItems()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        QSKIP("no session bus (run under dbus-run-session)");
    // The file manager lives on a connection of its own, as another
    // process's would.
    QDBusConnection other = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "file-manager");
    FakeFileManager fake;
    QVERIFY(other.registerObject("/org/freedesktop/FileManager1", &fake, QDBusConnection::ExportAllSlots));
    QVERIFY(other.registerService("org.freedesktop.FileManager1"));
    m_opened.clear();
    std::optional<bool> shown;
    FileManager::showItems({QUrl::fromLocalFile("/tmp/a b.png"), QUrl("https://example.org/"),
                            QUrl::fromLocalFile("/tmp/c.png")},
                           [&](bool ok) { shown = ok; });
    QTRY_VERIFY(shown.has_value());
    QCOMPARE(*shown, true);
    QCOMPARE(fake.calls.size(), 1);
    QCOMPARE(fake.calls.first(), (QStringList{"file:///tmp/a%20b.png", "file:///tmp/c.png"}));
    QVERIFY(m_opened.isEmpty());
    other.unregisterService("org.freedesktop.FileManager1");
    other.unregisterObject("/org/freedesktop/FileManager1");
    QDBusConnection::disconnectFromBus("file-manager");
}

void SharingTest::fileManagerFallsBackToTheFolder()
{
    // No file manager on the bus (or no bus at all): the folder opens.
    m_opened.clear();
    std::optional<bool> shown;
    FileManager::showItems({QUrl::fromLocalFile("/srv/library/originals/x.png")}, [&](bool ok) { shown = ok; });
    QTRY_VERIFY_WITH_TIMEOUT(shown.has_value(), 15000);
    QCOMPARE(*shown, false);
    QCOMPARE(m_opened, QList<QUrl>{QUrl::fromLocalFile("/srv/library/originals")});
}

void SharingTest::fileManagerIgnoresAddresses()
{
    m_opened.clear();
    std::optional<bool> shown;
    FileManager::showItems({QUrl("https://example.org/")}, [&](bool ok) { shown = ok; });
    QVERIFY(shown.has_value());
    QCOMPARE(*shown, false);
    QVERIFY(m_opened.isEmpty());
}

QTEST_MAIN(SharingTest)
#include "tst_sharing.moc"
