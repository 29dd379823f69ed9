// "Check for Updates…" from the real main window's Help menu, clicked with
// the mouse: whatever the feed server does, the banner ends up saying what
// came of it, even after the person dismissed it before.
#include "LoopbackHttpServer.h"

#include "app/AppState.h"
#include "app/MainWindow.h"
#include "library/LibraryStore.h"
#include "platform/Defaults.h"
#include "update/Updater.h"
#include "views/UpdateBanner.h"

#include "ZezevavEri/ScatterGridController.h"
#include "ZezevavEri/ScatterGridView.h"

#include <QApplication>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

using namespace vellora;

namespace {

QPushButton *button(QWidget &root, const QString &text)
{
    for (QPushButton *candidate : root.findChildren<QPushButton *>()) {
        if (candidate->text() == text)
            return candidate;
    }
    return nullptr;
}

const char *const kCurrentFeed = "{\"version\":\"0.1\",\"build\":%1,\"url\":\"http://127.0.0.1:1/x\",\"sha256\":\"00\"}";

// Opens Help in the menu bar and clicks the item, as a person does.
bool clickMenuItem(QMainWindow &window, const QString &menuTitle, const QString &itemText)
{
    QMenuBar *bar = window.menuBar();
    for (QAction *top : bar->actions()) {
        if (top->text().remove(QLatin1Char('&')) != menuTitle)
            continue;
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(top).center());
        QMenu *menu = top->menu();
        if (!QTest::qWaitFor([menu] { return menu->isVisible(); }, 5000))
            return false;
        for (QAction *item : menu->actions()) {
            if (item->text() == itemText) {
                QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(item).center());
                return true;
            }
        }
    }
    return false;
}

} // namespace

class TestUpdateWindow : public QObject {
    Q_OBJECT

private slots:
    void checkFromTheMenuShowsItsOutcome_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<bool>("dismissedBefore");
        QTest::addColumn<QString>("shown");
        const QString current = QString::fromLatin1(kCurrentFeed).arg(VELLORA_RUNNING_BUILD);
        QTest::newRow("nothing newer") << current << false << "Vellora is up to date.";
        QTest::newRow("nothing newer, banner dismissed before") << current << true << "Vellora is up to date.";
        QTest::newRow("not found") << "404" << false << "Update check failed (HTTP 404).";
        QTest::newRow("silent server") << "silent" << true << "Couldn't check for updates: The update server didn't answer.";
        QTest::newRow("one byte at a time") << "trickle" << false
                                            << "Couldn't check for updates: The update server took too long to answer.";
    }

    void checkFromTheMenuShowsItsOutcome()
    {
        QFETCH(QString, server);
        QFETCH(bool, dismissedBefore);
        QFETCH(QString, shown);
        LoopbackHttpServer feed;
        LoopbackHttpServer::Response route{.body = server.toUtf8()};
        if (server == QLatin1String("404"))
            route.status = 404;
        route.never = server == QLatin1String("silent");
        if (server == QLatin1String("trickle")) {
            // A whole feed, a byte every 200 ms: far longer than the deadline.
            route.body = QString::fromLatin1(kCurrentFeed).arg(VELLORA_RUNNING_BUILD).toUtf8();
            route.trickleMs = 200;
        }
        feed.set("/appcast.json", route);

        Updater &updater = Updater::shared();
        Defaults::standard().set(QStringLiteral("VELLORA_APPCAST_URL"), feed.url("/appcast.json"));
        Updater::Limits limits;
        limits.requestDeadlineMs = 2000;
        updater.setLimits(limits);

        QTemporaryDir dir;
        Defaults settings(dir.filePath(QStringLiteral("settings.conf")));
        LibraryStore store(dir.path(), false, settings);
        zezevaveri::ScatterGridController controller;
        AppState state(store, settings, controller);
        state.setHooks(windowHooks(nullptr));
        MainWindow window(state);
        window.resize(1000, 700);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto *banner = window.findChild<UpdateBanner *>();
        QVERIFY(banner);
        if (dismissedBefore) {
            updater.setDismissed(false);
            // Something to dismiss first: the outcome of an earlier check.
            if (!banner->isVisible()) {
                bool done = false;
                updater.check(true, [&] { done = true; });
                QTRY_VERIFY_WITH_TIMEOUT(done, 10000);
            }
            QTRY_VERIFY(banner->isVisible());
            QTest::mouseClick(button(*banner, QStringLiteral("Dismiss")), Qt::LeftButton);
            QVERIFY(!banner->isVisible());
        }

        QVERIFY(clickMenuItem(window, QStringLiteral("Help"), QStringLiteral("Check for Updates…")));
        QTRY_VERIFY_WITH_TIMEOUT(banner->isVisible() && banner->text() == shown, 10000);
        QVERIFY(!updater.available());
    }
};

QTEST_MAIN(TestUpdateWindow)
#include "tst_updatewindow.moc"
