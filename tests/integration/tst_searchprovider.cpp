#include "integration/DBusNames.h"
#include "integration/DesktopSearch.h"
#include "integration/SearchIndex.h"
#include "integration/SearchProvider.h"
#include "integration/SystemSearchIndex.h"

#include "library/LibraryLocation.h"
#include "library/LibraryStore.h"
#include "platform/ImageIO.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDeadlineTimer>
#include <QDBusConnectionInterface>
#include <QDBusReply>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace vellora;

// The running window as the desktop sees it: the single-instance interface.
class FakeWindow : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")
public:
    QStringList opened;
    int activated = 0;

public slots:
    void Activate(const QVariantMap &) { ++activated; }
    void Open(const QStringList &uris, const QVariantMap &) { opened += uris; }
    void ActivateAction(const QString &, const QVariantList &, const QVariantMap &) {}
};

class TestSearchProvider : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_thumbnail;

    // gdbus against the provider; the test's own loop keeps running, so the
    // fake window answers the provider meanwhile.
    QString gdbus(const QString &method, const QStringList &arguments)
    {
        QProcess process;
        process.setProcessChannelMode(QProcess::SeparateChannels);
        QStringList all{"call", "--session", "--dest", kSearchProviderService, "--object-path", kSearchProviderPath,
                        "--method", method};
        process.start("gdbus", all + arguments);
        if (!process.waitForStarted(10000))
            return "<gdbus did not start>";
        QDeadlineTimer deadline(30000);
        while (!process.waitForFinished(20) && !deadline.hasExpired())
            QCoreApplication::processEvents();
        if (process.state() != QProcess::NotRunning)
            return "<gdbus hangs>";
        const QString error = QString::fromUtf8(process.readAllStandardError());
        if (process.exitCode() != 0)
            return "<failed: " + error + ">";
        return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(QDBusConnection::sessionBus().isConnected(), "run under dbus-run-session");
        QVERIFY(QDir().mkpath(QFileInfo(SystemSearchIndex::defaultPath()).absolutePath()));
        QFile::remove(SystemSearchIndex::defaultPath());
        m_thumbnail = m_dir.path() + "/A1.jpg";
        QImage image(64, 48, QImage::Format_RGB32);
        image.fill(Qt::darkCyan);
        QFile thumb(m_thumbnail);
        QVERIFY(thumb.open(QIODevice::WriteOnly));
        thumb.write(encodeJPEG(image, 0.8));
        thumb.close();

        SearchIndex index(SystemSearchIndex::defaultPath(), SearchIndex::Access::ReadWrite);
        QVERIFY(index.open().ok);
        SearchDocument a1{"A1", "Sunset beach", "Holiday photos", "sea orange", "", "", "image", m_thumbnail};
        SearchDocument a2{"A2", "Sunrise mountain", "", "", "", "", "image", ""};
        SearchDocument l1{"L1", "House plans", "Architecture", "", "a beach house", "example.org", "link", ""};
        QVERIFY(index.upsert({a1, a2, l1}).ok);

        // What the window writes at start: the bus starts the built program.
        QString error;
        QVERIFY2(installSearchProviderFiles(VELLORA_BINARY, &error), qPrintable(error));
        const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
        QFile service(data + "/dbus-1/services/com.quendle.vellora.SearchProvider.service");
        QVERIFY(service.open(QIODevice::ReadOnly));
        QVERIFY(service.readAll().contains("Exec=" VELLORA_BINARY " --search-provider\n"));
        QVERIFY(QFile::exists(data + "/gnome-shell/search-providers/com.quendle.vellora.search-provider.ini"));
        QVERIFY(QFile::exists(data + "/krunner/dbusplugins/com.quendle.vellora.desktop"));
        QDBusConnection::sessionBus().interface()->call("ReloadConfig");
    }

    void cleanupTestCase()
    {
        // The provider would otherwise linger until its idle time ends.
        QDBusConnectionInterface *bus = QDBusConnection::sessionBus().interface();
        const QDBusReply<uint> pid = bus->servicePid(kSearchProviderService);
        if (pid.isValid() && pid.value() > 0)
            ::kill(pid_t(pid.value()), SIGTERM);
    }

    void gnomeShell()
    {
        const QString initial = gdbus("org.gnome.Shell.SearchProvider2.GetInitialResultSet", {"['sun', 'bea']"});
        QCOMPARE(initial, QString("(['A1'],)"));
        // Prefixes in any field: the link's page text holds "beach".
        QCOMPARE(gdbus("org.gnome.Shell.SearchProvider2.GetSubsearchResultSet", {"['A1']", "['beach']"}),
                 QString("(['A1', 'L1'],)"));
        QCOMPARE(gdbus("org.gnome.Shell.SearchProvider2.GetInitialResultSet", {"['nothing']"}), QString("(@as [],)"));

        const QString metas = gdbus("org.gnome.Shell.SearchProvider2.GetResultMetas", {"['A1', 'L1']"});
        QVERIFY2(metas.contains("'id': <'A1'>"), qPrintable(metas));
        QVERIFY2(metas.contains("'name': <'Sunset beach'>"), qPrintable(metas));
        QVERIFY2(metas.contains("'description': <'Holiday photos'>"), qPrintable(metas));
        QVERIFY2(metas.contains("'gicon': <'" + m_thumbnail + "'>"), qPrintable(metas));
        QVERIFY2(metas.contains("'name': <'House plans'>"), qPrintable(metas));
        QVERIFY2(metas.contains("'gicon': <'text-html'>"), qPrintable(metas));
    }

    void krunner()
    {
        const QString matches = gdbus("org.kde.krunner1.Match", {"sun bea"});
        QVERIFY2(matches.startsWith("([('A1', 'Sunset beach', '" + m_thumbnail + "', 30, "), qPrintable(matches));
        QVERIFY2(matches.contains("'subtext': <'Holiday photos'>"), qPrintable(matches));
        QVERIFY2(!matches.contains("A2"), qPrintable(matches));
        QCOMPARE(gdbus("org.kde.krunner1.Actions", {}), QString("(@a(sss) [],)"));
    }

    // A chosen result opens vellora://item/<id> in the running window.
    void activationReachesWindow()
    {
        QDBusConnection bus = QDBusConnection::sessionBus();
        FakeWindow window;
        QVERIFY(bus.registerObject(kApplicationPath, &window, QDBusConnection::ExportAllSlots));
        QVERIFY(bus.registerService(kApplicationService));

        QCOMPARE(gdbus("org.gnome.Shell.SearchProvider2.ActivateResult", {"A1", "['sun']", "0"}), QString("()"));
        QTRY_COMPARE(window.opened, QStringList{"vellora://item/A1"});
        QCOMPARE(gdbus("org.kde.krunner1.Run", {"L1", ""}), QString("()"));
        QTRY_COMPARE(window.opened, (QStringList{"vellora://item/A1", "vellora://item/L1"}));
        // An id that is no plain name opens nothing.
        QCOMPARE(gdbus("org.kde.krunner1.Run", {"../A1", ""}), QString("()"));
        // The window's own search, holding the words.
        QCOMPARE(gdbus("org.gnome.Shell.SearchProvider2.LaunchSearch", {"['sun', 'beach hut']", "0"}), QString("()"));
        QTRY_COMPARE(window.opened.size(), 3);
        QCOMPARE(window.opened.last(), QString("vellora://search?q=sun%20beach%20hut"));
        QCOMPARE(gdbus("org.gnome.Shell.SearchProvider2.LaunchSearch", {"@as []", "0"}), QString("()"));
        QTRY_COMPARE(window.activated, 1);
        QCOMPARE(window.opened.size(), 3);

        bus.unregisterService(kApplicationService);
        bus.unregisterObject(kApplicationPath);
    }

    // Without a window the program is started with the address.
    void activationStartsProgram()
    {
        const QString record = m_dir.path() + "/started.txt";
        const QString program = m_dir.path() + "/fake-vellora";
        QFile script(program);
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + record.toUtf8() + ".tmp' && mv '" + record.toUtf8()
                     + ".tmp' '" + record.toUtf8() + "'\n");
        script.close();
        QVERIFY(script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QVERIFY(!QDBusConnection::sessionBus().interface()->isServiceRegistered(kApplicationService).value());

        SearchProvider provider(SystemSearchIndex::defaultPath());
        provider.setProgram(program);
        provider.activate("A2");
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(record), 20000);
        QFile started(record);
        QVERIFY(started.open(QIODevice::ReadOnly));
        QCOMPARE(started.readAll(), QByteArray("vellora://item/A2\n"));
    }

    // The window's store at the default library: what analysis and the user
    // write later reaches the desktop's search by itself. After the tests of
    // the fixed rows: the index holds this library alone from then on.
    void findsWhatIsWrittenAfterTheItemWasAdded()
    {
        installSearchIndexServices();
        LibraryStore store(LibraryLocation::localURL(), false);
        QVERIFY(store.loaded());
        store.reindexSpotlightIfNeeded();
        Item shot;
        shot.id = "Z1";
        shot.kind = "image";
        shot.originalFilename = "Screenshot 2026-12-11.png";
        shot.storedFilename = "Z1.png";
        shot.thumbnailFilename = "Z1.jpg";
        shot.collectionIds = {store.defaultBoardId()};
        store.appendItems({shot});
        QTRY_COMPARE_WITH_TIMEOUT(gdbus("org.gnome.Shell.SearchProvider2.GetInitialResultSet", {"['screensh']"}),
                                  QString("(['Z1'],)"), 10000);
        QCOMPARE(gdbus("org.gnome.Shell.SearchProvider2.GetInitialResultSet", {"['zephyr']"}), QString("(@as [],)"));

        // The analyzer writes the recognised text into the item...
        store.updateItem("Z1", [](Item &item) { item.ocrText = "Quarterly Zephyr Report"; });
        QTRY_COMPARE_WITH_TIMEOUT(gdbus("org.gnome.Shell.SearchProvider2.GetInitialResultSet", {"['zephyr']"}),
                                  QString("(['Z1'],)"), 10000);
        // ...and the user tags it later.
        store.updateItem("Z1", [](Item &item) { item.tags = QStringList{"moodboard"}; });
        QTRY_COMPARE_WITH_TIMEOUT(gdbus("org.kde.krunner1.Match", {"moodbo"}).startsWith("([('Z1', "), true, 10000);
        SystemSearchIndex::shared().waitForIdle();
    }

    // One provider per session: a second start says why and fails.
    void secondProviderRefuses()
    {
        QProcess second;
        second.start(VELLORA_BINARY, {"--search-provider"});
        QVERIFY(second.waitForFinished(30000));
        QCOMPARE(second.exitCode(), 1);
        QVERIFY(second.readAllStandardError().contains("search provider: com.quendle.vellora.SearchProvider is taken"));
        QVERIFY(second.readAllStandardOutput().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestSearchProvider)
#include "tst_searchprovider.moc"
