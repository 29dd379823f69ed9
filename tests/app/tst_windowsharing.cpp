// Shared collections in the real main window, offscreen, over libraries on
// the in-memory sharing service: deleting one asks first and ends the
// sharing, invitations that fail say why in their dialog, and the header
// follows what arrives from the others.
#include "SeamGuard.h"

#include "../sharing/SharingFixtures.h"

#include "app/AppState.h"
#include "app/MainWindow.h"

#include "platform/Bundle.h"
#include "sharing/HttpCloud.h"
#include "sharing/SharingMenu.h"
#include "views/CollectionContents.h"
#include "views/GridScreen.h"
#include "views/PageTitle.h"
#include "views/Sidebar.h"

#include "ZezevavEri/ScatterGridController.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QtTest>

using namespace vellora;
using namespace sharingtest;

namespace {

// A library, its sharing engine and the window over them.
struct SharedWindow {
    std::unique_ptr<Library> lib;
    zezevaveri::ScatterGridController grid;
    std::unique_ptr<AppState> state;
    std::unique_ptr<MainWindow> window;

    explicit SharedWindow(CollectionSharing::ContainerFactory factory)
    {
        lib = std::make_unique<Library>(std::move(factory));
        state = std::make_unique<AppState>(*lib->store, *lib->settings, grid);
        state->setHooks(windowHooks(nullptr));
        window = std::make_unique<MainWindow>(*state);
        window->resize(1100, 700);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }
    ~SharedWindow()
    {
        window.reset();
        state.reset();
        lib.reset();
    }

    QAction *sharingEntry(const QString &text) const
    {
        for (QAction *top : window->menuBar()->actions()) {
            if (!top->menu())
                continue;
            for (QAction *entry : top->menu()->actions()) {
                if (!entry->menu() || entry->menu()->title() != QLatin1String("Sharing"))
                    continue;
                emit entry->menu()->aboutToShow();
                for (QAction *action : entry->menu()->actions())
                    if (action->text() == text)
                        return action;
            }
        }
        return nullptr;
    }
};

template <typename T>
T *openDialog()
{
    for (QWidget *widget : QApplication::topLevelWidgets())
        if (auto *dialog = qobject_cast<T *>(widget); dialog && dialog->isVisible())
            return dialog;
    return nullptr;
}

QPushButton *button(QWidget *parent, const QString &text)
{
    for (QPushButton *b : parent->findChildren<QPushButton *>())
        if (b->text() == text)
            return b;
    return nullptr;
}

void closeDialogs()
{
    for (QWidget *widget : QApplication::topLevelWidgets())
        if (qobject_cast<QDialog *>(widget))
            delete widget;
}

} // namespace

class WindowSharingTest : public QObject {
    Q_OBJECT

    std::unique_ptr<MemoryCloudService> m_service;
    std::optional<SeamGuard> m_seams;

    CollectionSharing::ContainerFactory as(const QString &user)
    {
        return memoryContainer(m_service.get(), user);
    }

private slots:
    void initTestCase() { setBundleIdentifier(QString::fromLatin1(kVelloraBundleIdentifier)); }
    void init()
    {
        m_seams.emplace();
        m_service = std::make_unique<MemoryCloudService>();
        m_service->addUser(QStringLiteral("owner"));
        m_service->addUser(QStringLiteral("friend"));
    }
    void cleanup()
    {
        closeDialogs();
        m_service.reset();
        m_seams.reset();
    }

    // Delete in the sidebar's menu of a shared collection: the question
    // first; on Delete the owner stops sharing and a participant leaves,
    // on Cancel nothing changes.
    void deletingASharedCollection_data()
    {
        QTest::addColumn<bool>("participant");
        QTest::addColumn<bool>("agree");
        QTest::newRow("owner deletes") << false << true;
        QTest::newRow("owner cancels") << false << false;
        QTest::newRow("participant deletes") << true << true;
        QTest::newRow("participant cancels") << true << false;
    }
    void deletingASharedCollection()
    {
        QFETCH(bool, participant);
        QFETCH(bool, agree);
        std::unique_ptr<SharedWindow> w;
        std::unique_ptr<Library> elsewhere;
        if (participant)
            elsewhere = std::make_unique<Library>(as(QStringLiteral("owner")));
        else
            w = std::make_unique<SharedWindow>(as(QStringLiteral("owner")));
        Library &owner = participant ? *elsewhere : *w->lib;
        const QString id = owner.store->createCollection(QStringLiteral("Moodboard"));
        owner.addImages(2, {id});
        const QString url = owner.share(id);
        QVERIFY(owner.invite(id, QStringLiteral("friend")));
        if (participant) {
            w = std::make_unique<SharedWindow>(as(QStringLiteral("friend")));
            QVERIFY(w->lib->acceptURL(url));
        }
        Library *side = w->lib.get();
        QStringList asked;
        setDestructiveAlert([&](QWidget *, const QString &message, const QString &informative, const QString &choice) {
            asked << message << informative << choice;
            return agree;
        });
        Sidebar *sidebar = w->window->sidebar();
        QTRY_VERIFY(!sidebar->rowRect(id).isEmpty());
        const QPoint at = sidebar->rowRect(id).center();
        QContextMenuEvent click(QContextMenuEvent::Mouse, at, sidebar->mapToGlobal(at));
        QApplication::sendEvent(sidebar, &click);
        QMenu *menu = nullptr;
        QTRY_VERIFY((menu = qobject_cast<QMenu *>(QApplication::activePopupWidget())));
        QAction *remove = nullptr;
        for (QAction *action : menu->actions())
            if (action->text() == QLatin1String("Delete"))
                remove = action;
        QVERIFY(remove);
        QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(remove).center());

        QCOMPARE(asked.value(0), QStringLiteral("Delete “Moodboard”?"));
        QVERIFY(asked.value(1).endsWith(QStringLiteral("You can't undo this.")));
        QCOMPARE(asked.value(2), QStringLiteral("Delete"));
        if (!agree) {
            QTest::qWait(100);
            QVERIFY(side->store->collection(id));
            QVERIFY(side->store->collection(id)->zone);
            QCOMPARE(m_service->recordNames(QStringLiteral("owner"), zoneNameFor(id), kItemRecordType).size(), 2);
            return;
        }
        QTRY_VERIFY(!side->store->collection(id));
        if (!participant) {
            // The share ended for everybody.
            QCOMPARE(m_service->recordNames(QStringLiteral("owner"), zoneNameFor(id), kItemRecordType), QStringList());
            return;
        }
        // The participant left; the owner's share goes on without them.
        QCOMPARE(m_service->recordNames(QStringLiteral("owner"), zoneNameFor(id), kItemRecordType).size(), 2);
        bool fetched = false;
        QStringList people;
        owner.sharing->fetchShare(id, [&](CloudResult<CloudRecord> share) {
            if (!isError(share))
                for (const CloudParticipant &p : std::get<CloudRecord>(share).participants())
                    people << p.user;
            fetched = true;
        });
        QTRY_VERIFY(fetched);
        QVERIFY(!people.contains(QStringLiteral("friend")));
    }

    // Accept Invitation… says in its dialog what went wrong.
    void invitationProblemsAreSaid_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("link");
        QTest::addColumn<QString>("said");
        QTest::newRow("not invited") << "friend" << "" << "You aren't invited to this shared collection. Ask its owner "
                                                          "to invite your user name in Manage Sharing";
        QTest::newRow("token the service does not know") << "nobody" << "" << "The sharing service doesn't accept your token";
        QTest::newRow("no service set up") << "" << "" << "No sharing service is set up";
        QTest::newRow("a link of another service") << "friend" << "https://elsewhere.invalid/share/abc"
                                                   << "This isn't an invitation link of your sharing service";
        QTest::newRow("a share that does not exist") << "friend" << "https://memory.invalid/share/nothing"
                                                     << "This invitation doesn't exist";
    }
    void invitationProblemsAreSaid()
    {
        QFETCH(QString, user);
        QFETCH(QString, link);
        QFETCH(QString, said);
        Library owner(as(QStringLiteral("owner")));
        const QString id = owner.store->createCollection(QStringLiteral("Moodboard"));
        const QString url = link.isEmpty() ? owner.share(id) : link;
        SharedWindow w(user.isEmpty() ? CollectionSharing::ContainerFactory([](QObject *parent) -> CloudContainer * {
            return new HttpCloudContainer(QUrl(), QString(), parent);
        })
                                      : as(user));
        QAction *accept = w.sharingEntry(QStringLiteral("Accept Invitation…"));
        QVERIFY(accept);
        accept->trigger();
        AcceptInvitationDialog *dialog = nullptr;
        QTRY_VERIFY((dialog = openDialog<AcceptInvitationDialog>()));
        QTest::keyClicks(dialog->findChild<QLineEdit *>(), url);
        QPushButton *ok = button(dialog, QStringLiteral("Accept"));
        QTest::mouseClick(ok, Qt::LeftButton);
        auto *problem = dialog->findChild<QLabel *>(QStringLiteral("problem"));
        QTRY_VERIFY(problem->isVisible());
        QVERIFY2(problem->text().startsWith(said), qPrintable(problem->text()));
        QVERIFY(dialog->isVisible());
        QVERIFY(!w.lib->store->collection(id));
    }

    // A share link handed to the program (as from a browser) that fails says so too.
    void openedLinkThatFailsSaysWhy()
    {
        Library owner(as(QStringLiteral("owner")));
        const QString id = owner.store->createCollection(QStringLiteral("Moodboard"));
        const QString url = owner.share(id);
        SharedWindow w(as(QStringLiteral("friend")));
        SharingAppDelegate delegate(*w.lib->sharing);
        QVERIFY(delegate.openURL(QUrl(url), w.window.get()));
        AcceptInvitationDialog *dialog = nullptr;
        QTRY_VERIFY((dialog = openDialog<AcceptInvitationDialog>()));
        QTRY_VERIFY(dialog->problem().startsWith(QStringLiteral("You aren't invited")));
        // Once invited, the same link goes through and the dialog closes.
        QVERIFY(owner.invite(id, QStringLiteral("friend")));
        QTest::mouseClick(button(dialog, QStringLiteral("Accept")), Qt::LeftButton);
        QTRY_VERIFY(w.lib->store->collection(id));
        QTRY_VERIFY(!openDialog<AcceptInvitationDialog>());
    }

    // Inviting a user name the service does not know says so, and the
    // reload of the share that follows does not wipe it away.
    void invitingAnUnknownUserSaysSo()
    {
        SharedWindow w(as(QStringLiteral("owner")));
        const QString id = w.lib->store->createCollection(QStringLiteral("Moodboard"));
        w.state->setSelection(id);
        QVERIFY(!w.lib->share(id).isEmpty());
        QAction *manage = w.sharingEntry(QStringLiteral("Manage Sharing…"));
        QVERIFY(manage);
        manage->trigger();
        ManageSharingDialog *dialog = nullptr;
        QTRY_VERIFY((dialog = openDialog<ManageSharingDialog>()));
        QLineEdit *name = nullptr;
        for (QLineEdit *edit : dialog->findChildren<QLineEdit *>())
            if (edit->placeholderText() == QLatin1String("User name"))
                name = edit;
        QTRY_VERIFY(dialog->isEnabled());
        QTest::keyClicks(name, QStringLiteral("ghost"));
        QTest::mouseClick(button(dialog, QStringLiteral("Invite")), Qt::LeftButton);
        const auto status = [&] {
            for (QLabel *label : dialog->findChildren<QLabel *>())
                if (label->text().startsWith(QStringLiteral("Couldn't invite")))
                    return label->text();
            return QString();
        };
        QTRY_VERIFY(!status().isEmpty());
        QTRY_VERIFY(dialog->isEnabled()); // reloaded
        QTest::qWait(100);
        QCOMPARE(status(), QStringLiteral("Couldn't invite “ghost”: the sharing service has no user of that name "
                                          "(and you can't invite yourself)."));
        QCOMPARE(dialog->findChild<QListWidget *>()->item(0)->text(), QStringLiteral("Nobody yet"));
    }

    // The header over a shared collection follows a rename and a removal
    // that arrive from the owner, without selecting it again.
    void headerFollowsRemoteChanges()
    {
        Library owner(as(QStringLiteral("owner")));
        const QString id = owner.store->createCollection(QStringLiteral("Moodboard"));
        const QStringList ids = owner.addImages(5, {id});
        const QString url = owner.share(id);
        QVERIFY(owner.invite(id, QStringLiteral("friend")));
        SharedWindow w(as(QStringLiteral("friend")));
        QVERIFY(w.lib->acceptURL(url));
        w.state->setSelection(id);
        QTRY_COMPARE(w.window->pageTitle()->count(), std::optional<int>(5));
        QCOMPARE(w.window->pageTitle()->title(), QStringLiteral("Moodboard"));

        owner.store->renameCollection(id, QStringLiteral("Chairs"));
        owner.store->setCollections({owner.store->defaultBoardId()}, ids.first());
        owner.store->save();
        owner.pushAll();
        w.lib->sync();
        QTRY_COMPARE(w.window->gridScreen()->visibleItems().size(), 4);
        QTRY_COMPARE(w.window->pageTitle()->count(), std::optional<int>(4));
        QCOMPARE(w.window->pageTitle()->title(), QStringLiteral("Chairs"));
    }
};

QTEST_MAIN(WindowSharingTest)
#include "tst_windowsharing.moc"
