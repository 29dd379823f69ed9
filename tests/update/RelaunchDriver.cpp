// The program as a person runs it, with a hand on the mouse: once the
// window is up it asks for updates through the Help menu, then clicks the
// banner's "Update" as soon as an offer shows. When the relaunch starts it
// renames the first collection, a change that only the quit's save can
// bring to disk, so the test can tell the old process saved before it went,
// and its quitting takes a few seconds, as a large library's save does, so
// the new copy starts while this one still holds the session bus name.
#include "app/Application.h"
#include "library/LibraryStore.h"
#include "update/Updater.h"
#include "views/UpdateBanner.h"

#include <QAction>
#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <QTimer>

using namespace vellora;

namespace {

QAction *checkForUpdates()
{
    for (QWidget *window : QApplication::topLevelWidgets()) {
        for (QAction *action : window->findChildren<QAction *>()) {
            if (action->text() == QStringLiteral("Check for Updates…"))
                return action;
        }
    }
    return nullptr;
}

QPushButton *offeredUpdate()
{
    for (QWidget *widget : QApplication::allWidgets()) {
        auto *banner = qobject_cast<UpdateBanner *>(widget);
        if (!banner || !banner->isVisible())
            continue;
        for (QPushButton *button : banner->findChildren<QPushButton *>()) {
            if (button->text() == QStringLiteral("Update") && button->isVisible() && button->isEnabled())
                return button;
        }
    }
    return nullptr;
}

void driveTheWindow()
{
    if (!qobject_cast<QApplication *>(QCoreApplication::instance()))
        return;
    QObject::connect(&Updater::shared(), &Updater::relaunchStarted, [] {
        LibraryStore &store = LibraryStore::shared();
        const QString first = store.defaultBoardId();
        store.updateCollection(first, [](Board &board) { board.name = QStringLiteral("Renamed as the update relaunched"); });
        store.scheduleSave();
    });
    QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, [] { QThread::sleep(3); });
    auto *hand = new QTimer(QCoreApplication::instance());
    auto asked = std::make_shared<bool>(false);
    QObject::connect(hand, &QTimer::timeout, [hand, asked] {
        if (!*asked) {
            if (QAction *action = checkForUpdates(); action && LibraryStore::shared().loaded()) {
                *asked = true;
                action->trigger();
            }
            return;
        }
        if (QPushButton *button = offeredUpdate()) {
            hand->stop();
            QTest::mouseClick(button, Qt::LeftButton);
        }
    });
    hand->start(100);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(driveTheWindow)

int main(int argc, char **argv)
{
    return runVellora(argc, argv);
}
