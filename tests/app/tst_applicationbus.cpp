// One Vellora per user: this test plays the running window on a session bus
// of its own (run under dbus-run-session) and starts the real program as the
// second process, which hands its vellora: address over and ends.
#include "app/AppState.h"
#include "app/ApplicationBus.h"
#include "app/ServiceProvider.h"

#include "enrichment/Search.h"
#include "views/CollectionContents.h"
#include "library/LibraryStore.h"
#include "platform/Defaults.h"

#include "ZezevavEri/ScatterGridController.h"
#include "ZezevavEri/ScatterGridView.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QImage>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace vellora;

namespace {

Item picture(const QString &id, const QString &board, const QString &text)
{
    Item it;
    it.id = id;
    it.kind = QStringLiteral("image");
    it.originalFilename = id + ".png";
    it.ocrText = text;
    it.palette = QStringList{"#ff2a00"};
    it.collectionIds = {board};
    return it;
}

// The second start: the program with one argument, on its own settings.
struct SecondStart {
    QProcess process;
    QByteArray err;
    explicit SecondStart(const QStringList &arguments, const QString &home, const QStringList &extraEnvironment = {},
                         const QString &workingFolder = {})
    {
        if (!workingFolder.isEmpty())
            process.setWorkingDirectory(workingFolder);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("HOME", home);
        env.insert("XDG_CONFIG_HOME", home + "/config");
        env.insert("XDG_DATA_HOME", home + "/data");
        env.insert("VELLORA_ROOT", home + "/library");
        for (const QString &pair : extraEnvironment)
            env.insert(pair.section('=', 0, 0), pair.section('=', 1));
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(VELLORA_BINARY), arguments);
    }
    // Waits with the event loop running, so this process can answer the call.
    bool finished(int ms = 30000)
    {
        if (process.state() == QProcess::NotRunning)
            return true;
        QSignalSpy spy(&process, &QProcess::finished);
        const bool ok = spy.wait(ms);
        err = process.readAllStandardError();
        return ok;
    }
};

} // namespace

class ApplicationBusTest : public QObject {
    Q_OBJECT

    std::unique_ptr<ApplicationBus> m_bus;

    // The running window's state, made afresh for each case and wired to the bus.
    struct Window {
        QTemporaryDir dir;
        std::unique_ptr<Defaults> settings;
        std::unique_ptr<LibraryStore> store;
        zezevaveri::ScatterGridController grid;
        std::unique_ptr<AppState> state;
        QStringList added;
        QObject wiring;
    };

    std::unique_ptr<Window> window()
    {
        auto w = std::make_unique<Window>();
        w->settings = std::make_unique<Defaults>(w->dir.filePath("settings.conf"));
        w->store = std::make_unique<LibraryStore>(w->dir.filePath("library"), false, *w->settings);
        w->store->replaceCollections({{"B1", "Inbox", 1.0, {}, {}, {}}, {"B2", "Posters", 2.0, {}, {}, {}}});
        w->store->appendItems({picture("A", "B1", "harbour"), picture("B", "B2", "poster"), picture("C", "B2", "poster")});
        w->state = std::make_unique<AppState>(*w->store, *w->settings, w->grid);
        AppState::Hooks hooks;
        hooks.sectionItems = [](const LibraryStore &s, const QString &section) {
            QList<Item> out;
            for (const Item &i : s.activeItems())
                if (section == QLatin1String("all") || i.collectionIds.contains(section))
                    out << i;
            return out;
        };
        // Drops, imports and links go where the window's own hooks send them.
        hooks.resolveBoardId = [](const LibraryStore &s, const QString &section) { return resolveBoardId(s, section); };
        Window *raw = w.get();
        hooks.addLink = [raw](LibraryStore &, const QString &url, const QString &board) { raw->added << url + " -> " + board; };
        w->state->setHooks(hooks);
        AppState *state = w->state.get();
        // As the program does it (sharing addresses aside).
        connect(m_bus.get(), &ApplicationBus::openRequested, &w->wiring,
                [state](const QStringList &uris) { state->openAddresses(uris); });
        connect(m_bus.get(), &ApplicationBus::continueActivityRequested, &w->wiring,
                [state](const QString &type, const QVariantMap &info) { state->continueActivity(type, info); });
        return w;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(QDBusConnection::sessionBus().isConnected(), "run under dbus-run-session");
        m_bus = std::make_unique<ApplicationBus>();
        QCOMPARE(m_bus->claim(), ApplicationBus::Claim::Primary);
    }

    void secondStartHandsItsAddressOver_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("expected"); // "selection|query|hue|pending|addingLink|added"

        QTest::newRow("hidden item: to All, filters cleared, opened")
            << "vellora://item/A" << "all||none|A|no|";
        QTest::newRow("visible item: only opened") << "vellora://item/C" << "B2|poster|10|C|no|";
        QTest::newRow("unknown item: nothing") << "vellora://item/NOPE" << "B2|poster|10|none|no|";
        QTest::newRow("unsafe id: nothing") << "vellora://item/.." << "B2|poster|10|none|no|";
        QTest::newRow("host case matters") << "vellora://Item/A" << "B2|poster|10|none|no|";
        QTest::newRow("board") << "vellora://board/B1" << "B1|poster|10|none|no|";
        QTest::newRow("add with an address: first collection, no sheet")
            << "vellora://add?url=example.com%2Fa" << "B2|poster|10|none|no|https://example.com/a -> B1";
        QTest::newRow("add without query: the sheet") << "vellora://add" << "B2|poster|10|none|yes|";
        QTest::newRow("add with empty url: the sheet") << "vellora://add?url=" << "B2|poster|10|none|yes|";
        QTest::newRow("add with no link: the sheet") << "vellora://add?url=not%20a%20link" << "B2|poster|10|none|yes|";
    }

    void secondStartHandsItsAddressOver()
    {
        QFETCH(QString, address);
        QFETCH(QString, expected);
        // The window as the user left it: a collection, a search, a colour.
        auto w = window();
        AppState *m_state = w->state.get();
        m_state->setSelection("B2");
        m_state->search().setQuery("poster");
        m_state->setHueFilter(10.0);

        QTemporaryDir home;
        SecondStart second({address}, home.path());
        QVERIFY(second.finished());
        QCOMPARE(second.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.process.exitCode(), 0);

        const QStringList want = expected.split('|');
        QTRY_COMPARE(m_state->selection(), want[0]);
        if (!want[5].isEmpty())
            QTRY_COMPARE(w->added, QStringList{want[5]});
        QCOMPARE(m_state->search().query(), want[1]);
        QCOMPARE(m_state->hueFilter() ? QString::number(*m_state->hueFilter()) : QString("none"), want[2]);
        QCOMPARE(w->grid.pending().value_or("none"), want[3]);
        QCOMPARE(m_state->addingLink() ? QString("yes") : QString("no"), want[4]);
        if (want[5].isEmpty())
            QVERIFY(w->added.isEmpty());
    }

    // "Open With" on the desktop, or `vellora a.png` in a shell, while the
    // window runs: the second start hands the files over, the window imports
    // them into the collection it shows; a web link goes down the link road.
    void openWithHandsFilesToTheWindow_data()
    {
        QTest::addColumn<QStringList>("arguments"); // "@" is the folder of the pictures
        QTest::addColumn<QStringList>("imported");
        QTest::addColumn<QStringList>("links");
        QTest::newRow("relative path") << QStringList{"a.png"} << QStringList{"a.png"} << QStringList{};
        QTest::newRow("file URL") << QStringList{"file://@/b.png"} << QStringList{"b.png"} << QStringList{};
        QTest::newRow("two files and a link")
            << QStringList{"@/a.png", "https://example.com/x", "b.png"} << QStringList{"a.png", "b.png"}
            << QStringList{"https://example.com/x -> B2"};
        QTest::newRow("no such file") << QStringList{"missing.png"} << QStringList{} << QStringList{};
    }

    void openWithHandsFilesToTheWindow()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, imported);
        QFETCH(QStringList, links);
        auto w = window();
        w->state->setSelection("B2");
        QTemporaryDir home, pictures;
        for (const auto &[name, colour] : {std::pair{"a.png", Qt::red}, std::pair{"b.png", Qt::darkGreen}}) {
            QImage image(48, 32, QImage::Format_RGB32);
            image.fill(colour);
            QVERIFY(image.save(pictures.filePath(name)));
        }
        for (QString &argument : arguments)
            argument.replace("@", pictures.path());
        SecondStart second(arguments, home.path(), {}, pictures.path());
        QVERIFY(second.finished());
        QCOMPARE(second.process.exitCode(), 0);

        auto names = [&] {
            QStringList out;
            for (const Item &item : w->store->items())
                if (item.collectionIds == QStringList{"B2"} && item.kind == QLatin1String("image") && !item.contentHash.isEmpty())
                    out << item.originalFilename;
            out.sort();
            return out;
        };
        QTRY_COMPARE(names(), imported);
        QTRY_COMPARE(w->added, links);
        QTest::qWait(200);
        QCOMPARE(names(), imported);
    }

    void activitiesAreContinuedThroughTheBus()
    {
        auto w = window();
        AppState *m_state = w->state.get();
        m_state->setSelection("B1");
        QDBusConnection other = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "other");
        auto call = [&](const QString &type, const QVariantMap &info) {
            QDBusMessage message = QDBusMessage::createMethodCall(kBusName, kBusPath, kShellInterface, "ContinueActivity");
            message << type << info;
            QDBusPendingCallWatcher watcher(other.asyncCall(message));
            QSignalSpy done(&watcher, &QDBusPendingCallWatcher::finished);
            QVERIFY(done.wait(10000));
            QVERIFY(!watcher.isError());
        };
        call(kBoardActivity, {{"boardID", "B2"}});
        QCOMPARE(m_state->selection(), QString("B2"));
        call(kBoardActivity, {{"boardID", 3}});
        QCOMPARE(m_state->selection(), QString("B2"));
        call(kItemActivity, {{"itemID", "A"}});
        QCOMPARE(m_state->selection(), QString("all"));
        QCOMPARE(w->grid.pending(), std::optional<QString>("A"));
        QDBusConnection::disconnectFromBus("other");
    }

    void addToVelloraSharesThePath()
    {
        auto w = window();
        // "Add to Vellora" lives at the same path, under its own interface,
        // and reaches the service provider.
        ServiceProvider provider(*w->store);
        QObject wiring;
        connect(m_bus.get(), &ApplicationBus::addToVelloraRequested, &wiring,
                [&provider](const QStringList &uris, const QString &text) { provider.AddToVellora(uris, text); });
        QDBusConnection other = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "adder");
        QDBusMessage message = QDBusMessage::createMethodCall(kBusName, kBusPath, kCaptureInterface, "AddToVellora");
        message << QStringList() << QStringLiteral("no link here\n\nexample.org/page");
        QDBusPendingCallWatcher watcher(other.asyncCall(message));
        QSignalSpy done(&watcher, &QDBusPendingCallWatcher::finished);
        QVERIFY(done.wait(10000));
        QVERIFY2(!watcher.isError(), qPrintable(watcher.error().message()));
        auto links = [&] {
            QStringList out;
            for (const Item &item : w->store->items())
                if (item.kind == QLatin1String("link"))
                    out << item.sourceURL.value_or(QString());
            return out;
        };
        QTRY_COMPARE(links(), QStringList{"https://example.org/page"});
        // And the window's own interface still answers beside it.
        QDBusMessage activate = QDBusMessage::createMethodCall(kBusName, kBusPath, kShellInterface, "ContinueActivity");
        activate << QString(kBoardActivity) << QVariantMap{{"boardID", "B2"}};
        QDBusPendingCallWatcher second(other.asyncCall(activate));
        QSignalSpy secondDone(&second, &QDBusPendingCallWatcher::finished);
        QVERIFY(secondDone.wait(10000));
        QVERIFY(!second.isError());
        QCOMPARE(w->state->selection(), QString("B2"));
        QDBusConnection::disconnectFromBus("adder");
    }

    void withoutASessionBusTheProgramRunsAlone()
    {
        QTemporaryDir home;
        SecondStart alone({}, home.path(), {"DBUS_SESSION_BUS_ADDRESS=unix:path=" + home.path() + "/no-bus"});
        // It keeps running with its own window; it says why it is alone.
        QByteArray err;
        QTRY_VERIFY_WITH_TIMEOUT((err += alone.process.readAllStandardError()).contains("no session bus"), 20000);
        QCOMPARE(alone.process.state(), QProcess::Running);
        alone.process.terminate();
        QVERIFY(alone.process.waitForFinished(10000));
    }
};

QTEST_MAIN(ApplicationBusTest)
#include "tst_applicationbus.moc"
