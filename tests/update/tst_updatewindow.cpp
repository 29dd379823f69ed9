// "Check for Updates…" from the real main window's Help menu, clicked with
// the mouse: whatever the feed server does, the banner ends up saying what
// came of it, even after the person dismissed it before.
#include "ToolTipChecks.h"
#include "LoopbackHttpServer.h"

#include "app/AppState.h"
#include "app/MainWindow.h"
#include "library/LibraryStore.h"
#include "platform/Defaults.h"
#include "update/Updater.h"
#include "views/HeaderBar.h"
#include "views/Inspector.h"
#include "views/PageTitle.h"
#include "views/UpdateBanner.h"

#include "ZezevavEri/ScatterGridController.h"
#include "ZezevavEri/ScatterGridView.h"

#include <QApplication>
#include <QDir>
#include <QHelpEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QToolTip>
#include <QtTest>

#include <cmath>

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


// Whether `inner` lies whole inside `outer` and every widget between them.
bool wholeIn(const QWidget *inner, const QWidget *outer)
{
    for (const QWidget *w = inner; w && w != outer; w = w->parentWidget()) {
        const QWidget *parent = w->parentWidget();
        if (!parent || !parent->rect().contains(w->geometry()))
            return false;
    }
    return true;
}

void shoot(QWidget *widget, const QString &name)
{
    const QString folder = qEnvironmentVariable("VELLORA_SHOTS");
    if (folder.isEmpty())
        return;
    QDir().mkpath(folder);
    widget->grab().save(folder + QStringLiteral("/") + name + QStringLiteral(".png"));
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

    // The banner in the header of the real window with the inspector shown,
    // at the smallest window and at ordinary ones, and as the window is made
    // smaller and larger again: every line it shows is whole words, the
    // buttons show their whole titles, and what the words leave out is in
    // the tool tip, plain and dark like the window.
    void bannerFitsTheHeader_data()
    {
        QTest::addColumn<QString>("feed");
        QTest::addColumn<QList<QSize>>("sizes");
        // A failure first: an offer stays on show once it is made. The
        // offer's two buttons need more than the 144 pixels the page has
        // beside the sidebar and the inspector in the smallest window.
        QTest::newRow("failure, 700x450") << "unreadable" << QList<QSize>{QSize(700, 450)};
        QTest::newRow("failure, 1000x700") << "unreadable" << QList<QSize>{QSize(1000, 700)};
        QTest::newRow("failure, resized")
            << "unreadable" << QList<QSize>{QSize(1300, 850), QSize(1000, 700), QSize(700, 450), QSize(1000, 700)};
        QTest::newRow("offer, 850x600") << "offer" << QList<QSize>{QSize(850, 600)};
        QTest::newRow("offer, 1000x700") << "offer" << QList<QSize>{QSize(1000, 700)};
        QTest::newRow("offer, resized")
            << "offer" << QList<QSize>{QSize(1300, 850), QSize(850, 600), QSize(1000, 700), QSize(850, 600)};
    }

    void bannerFitsTheHeader()
    {
        QFETCH(QString, feed);
        QFETCH(QList<QSize>, sizes);
        LoopbackHttpServer server;
        const QByteArray offer = "{\"version\":\"2.0 (the release with a rather longer name)\",\"build\":999999999,"
                                 "\"url\":\"http://127.0.0.1:1/x\",\"sha256\":\"00\"}";
        server.set("/appcast.json", {.body = feed == QLatin1String("offer") ? offer : QByteArray("[1, 2, 3]")});
        Updater &updater = Updater::shared();
        Defaults::standard().set(QStringLiteral("VELLORA_APPCAST_URL"), server.url("/appcast.json"));

        QTemporaryDir dir;
        Defaults settings(dir.filePath(QStringLiteral("settings.conf")));
        LibraryStore store(dir.path(), false, settings);
        zezevaveri::ScatterGridController controller;
        AppState state(store, settings, controller);
        state.setHooks(windowHooks(nullptr));
        state.setInspectorVisible(true);
        MainWindow window(state);
        window.setContentSize(sizes.first());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QApplication::setActiveWindow(&window);
        auto *banner = window.findChild<UpdateBanner *>();
        QVERIFY(banner);
        QVERIFY(clickMenuItem(window, QStringLiteral("Help"), QStringLiteral("Check for Updates…")));
        const QString full = feed == QLatin1String("offer")
                                 ? QStringLiteral("Vellora 2.0 (the release with a rather longer name) is available")
                                 : QStringLiteral("Couldn't check for updates: The update feed can't be read: the feed "
                                                  "is not a JSON object.");
        QTRY_VERIFY_WITH_TIMEOUT(banner->isVisible() && banner->text() == full, 10000);
        QVERIFY(window.inspector()->isVisible());

        auto *label = banner->findChild<QLabel *>(QStringLiteral("updateBannerText"));
        QVERIFY(label);
        QList<QPushButton *> buttons;
        for (const QString &title : {QStringLiteral("Update"), QStringLiteral("Dismiss")})
            if (QPushButton *b = button(*banner, title); b && b->isVisible())
                buttons << b;
        QCOMPARE(buttons.size(), feed == QLatin1String("offer") ? 2 : 1);

        QMap<QString, QStringList> shownAt;
        for (const QSize &size : sizes) {
            window.setContentSize(size);
            QTRY_COMPARE(window.centralWidget()->width(), size.width());
            QTest::qWait(50); // the header lays itself out again
            const QString tag = QStringLiteral("%1x%2").arg(size.width()).arg(size.height());
            const QStringList lines = banner->shownLines();
            QVERIFY2(!lines.isEmpty() && lines.size() <= 2, qPrintable(tag));

            // Each line is drawn whole inside the label, and the label
            // whole inside the header, clear of the buttons.
            QVERIFY2(wholeIn(label, window.headerBar()), qPrintable(tag));
            for (const QString &line : lines)
                QVERIFY2(label->fontMetrics().horizontalAdvance(line) <= label->contentsRect().width(),
                         qPrintable(QStringLiteral("%1: \"%2\" in %3 px").arg(tag, line).arg(label->width())));
            // ... and stops only between words: the text's beginning, then "…".
            QString rest = full.simplified();
            for (int i = 0; i < lines.size(); ++i) {
                QString line = lines.at(i);
                const bool cut = line.endsWith(QStringLiteral("\u2026"));
                QVERIFY2(!cut || i == lines.size() - 1, qPrintable(tag + QStringLiteral(": ") + line));
                if (cut)
                    line.chop(1);
                QVERIFY2(rest.startsWith(line), qPrintable(tag + QStringLiteral(": ") + line));
                const QChar next = rest.size() > line.size() ? rest.at(line.size()) : QChar(QLatin1Char(' '));
                QVERIFY2(line.isEmpty() || next == QLatin1Char(' ') || line.endsWith(QLatin1Char('/')),
                         qPrintable(tag + QStringLiteral(": ") + line));
                rest = rest.mid(line.size()).trimmed();
                QVERIFY2(cut || i < lines.size() - 1 || rest.isEmpty() || lines.join(QString()).isEmpty(),
                         qPrintable(tag + QStringLiteral(": ") + line));
            }
            // The banner covers nothing of the page's heading.
            const QRect bannerRect(banner->mapTo(&window, QPoint()), banner->size());
            for (QLabel *heading : window.pageTitle()->findChildren<QLabel *>())
                if (heading->isVisible() && !heading->text().isEmpty())
                    QVERIFY2(!bannerRect.intersects(QRect(heading->mapTo(&window, QPoint()), heading->size())),
                             qPrintable(tag + QStringLiteral(": ") + heading->text()));
            for (QPushButton *b : buttons) {
                QVERIFY2(wholeIn(b, window.headerBar()), qPrintable(tag + QStringLiteral(": ") + b->text()));
                QVERIFY2(b->width() >= b->sizeHint().width(),
                         qPrintable(QStringLiteral("%1: %2 is %3 px of %4").arg(tag, b->text()).arg(b->width())
                                        .arg(b->sizeHint().width())));
                QVERIFY2(!label->geometry().intersects(b->geometry()), qPrintable(tag + QStringLiteral(": ") + b->text()));
            }
            shoot(&window, QStringLiteral("update-banner-%1-%2").arg(feed, tag));

            // Shortened: the tool tip holds the whole text, as plain text,
            // dark like the window.
            if (!rest.isEmpty()) {
                const QPoint at = label->rect().center();
                QHelpEvent help(QEvent::ToolTip, at, label->mapToGlobal(at));
                QApplication::sendEvent(label, &help);
                QTRY_VERIFY(shownToolTip());
                QLabel *tip = shownToolTip();
                QTextDocument shownTip;
                shownTip.setHtml(tip->text());
                QCOMPARE(shownTip.toPlainText(), full);
                const TextColours colours = textColours(tip->grab().toImage());
                QVERIFY2(colours.background.lightness() < 128, qPrintable(colours.background.name()));
                QVERIFY2(colours.contrast >= 4.5, qPrintable(QString::number(colours.contrast)));
                shoot(tip, QStringLiteral("update-banner-tooltip-%1-%2").arg(feed, tag));
                QToolTip::hideText();
                QTRY_VERIFY(!shownToolTip());
            }
            // The same size shows the same lines, however it was reached.
            if (shownAt.contains(tag))
                QCOMPARE(lines, shownAt.value(tag));
            shownAt.insert(tag, lines);
        }
        updater.setDismissed(true);
    }
};

QTEST_MAIN(TestUpdateWindow)
#include "tst_updatewindow.moc"
