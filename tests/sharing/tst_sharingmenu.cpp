// The sharing menu, the Manage Sharing dialog and the cloud status, on the
// in-memory service and the offscreen platform.

#include "ManualScheduler.h"
#include "ScopedScheduler.h"
#include "SeamGuard.h"

#include "SharingFixtures.h"

#include "sharing/CloudStatus.h"
#include "MemoryCloud.h"
#include "sharing/SharingMenu.h"

#include "platform/Bundle.h"
#include "platform/Scheduler.h"
#include "views/CollectionContents.h"

#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QWindow>
#include <QtTest>

using namespace vellora;
using namespace sharingtest;

namespace {

QStringList texts(const QMenu &menu)
{
    QStringList list;
    for (const QAction *action : menu.actions())
        if (!action->isSeparator())
            list.append(action->text());
    return list;
}

QAction *find(const QMenu &menu, const QString &text)
{
    for (QAction *action : menu.actions())
        if (action->text() == text)
            return action;
    return nullptr;
}

ManageSharingDialog *openDialog()
{
    for (QWidget *widget : QApplication::topLevelWidgets())
        if (auto *dialog = qobject_cast<ManageSharingDialog *>(widget); dialog && dialog->isVisible())
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

} // namespace

class SharingMenuTest : public QObject {
    Q_OBJECT

    std::unique_ptr<MemoryCloudService> m_service;
    std::unique_ptr<Library> m_owner;
    std::unique_ptr<Library> m_friend;
    std::optional<SeamGuard> m_seams;

private slots:
    void initTestCase() { setBundleIdentifier(QString::fromLatin1(kVelloraBundleIdentifier)); }
    void init()
    {
        m_seams.emplace();
        m_service = std::make_unique<MemoryCloudService>();
        m_service->addUser(QStringLiteral("owner"));
        m_service->addUser(QStringLiteral("friend"));
        m_owner = std::make_unique<Library>(memoryContainer(m_service.get(), QStringLiteral("owner")));
        m_friend = std::make_unique<Library>(memoryContainer(m_service.get(), QStringLiteral("friend")));
    }
    void cleanup()
    {
        for (QWidget *widget : QApplication::topLevelWidgets())
            if (qobject_cast<ManageSharingDialog *>(widget))
                delete widget;
        m_owner.reset();
        m_friend.reset();
        m_service.reset();
    }

    // Share from the menu, invite from the dialog, then the entries of owner and participant.
    void menuAndDialog()
    {
        const QString id = m_owner->store->createCollection(QStringLiteral("Moodboard"));
        m_owner->addImages(2, {id});
        QWidget window;
        std::unique_ptr<QMenu> menu(makeSharingMenu(*m_owner->sharing, [id] { return id; }, &window));
        QCOMPARE(menu->title(), QStringLiteral("Sharing"));
        QCOMPARE(texts(*menu), (QStringList{QStringLiteral("Share…"), QStringLiteral("Accept Invitation…")}));

        find(*menu, QStringLiteral("Share…"))->trigger();
        QTRY_VERIFY(openDialog());
        ManageSharingDialog *dialog = openDialog();
        auto *url = dialog->findChild<QLineEdit *>();
        QTRY_VERIFY(!url->text().isEmpty());
        QVERIFY(m_owner->store->collection(id)->zone);

        QLineEdit *name = nullptr;
        for (QLineEdit *edit : dialog->findChildren<QLineEdit *>())
            if (edit->placeholderText() == QLatin1String("User name"))
                name = edit;
        QVERIFY(name);
        name->setText(QStringLiteral("friend"));
        button(dialog, QStringLiteral("Invite"))->click();
        auto *people = dialog->findChild<QListWidget *>();
        QTRY_COMPARE(people->item(0)->text(), QStringLiteral("friend — Can make changes (invited)"));
        QCOMPARE(people->count(), 1);
        dialog->resize(520, 320);
        QVERIFY(dialog->grab().save(QCoreApplication::applicationDirPath() + QStringLiteral("/manage-sharing.png")));

        QCOMPARE(texts(*menu), (QStringList{QStringLiteral("Share…"), QStringLiteral("Accept Invitation…")}));
        emit menu->aboutToShow();
        QCOMPARE(texts(*menu), (QStringList{QStringLiteral("Manage Sharing…"), QStringLiteral("Stop Sharing"),
                                            QStringLiteral("Accept Invitation…")}));

        QVERIFY(m_friend->acceptURL(url->text()));
        QMenu friendMenu;
        addSharingActions(&friendMenu, *m_friend->sharing, id, &window);
        QCOMPARE(texts(friendMenu), (QStringList{QStringLiteral("Manage Sharing…"), QStringLiteral("Leave Shared Collection")}));
        // Leaving and stopping ask first.
        QStringList asked;
        bool agree = true;
        setDestructiveAlert([&](QWidget *, const QString &message, const QString &, const QString &button) {
            asked << message + QStringLiteral(" / ") + button;
            return agree;
        });
        find(friendMenu, QStringLiteral("Leave Shared Collection"))->trigger();
        QCOMPARE(asked, QStringList{QStringLiteral("Leave “Moodboard”? / Leave")});
        QTRY_VERIFY(!m_friend->store->collection(id)->zone);
        QCOMPARE(m_friend->memberIds(id).size(), 2);

        // Stop Sharing from the dialog makes the collection local again, once the user agrees.
        agree = false;
        button(dialog, QStringLiteral("Stop Sharing"))->click();
        QCOMPARE(asked.last(), QStringLiteral("Stop sharing “Moodboard”? / Stop Sharing"));
        QTest::qWait(50);
        QVERIFY(m_owner->store->collection(id)->zone);
        QVERIFY(dialog->isEnabled());
        agree = true;
        button(dialog, QStringLiteral("Stop Sharing"))->click();
        QTRY_VERIFY(!m_owner->store->collection(id)->zone);
    }

    // A collection's name reaches the participant in the owner's record:
    // their dialog shows it as written, markup and Qt's title placeholder too.
    void participantSeesTheNameAsWritten()
    {
        const QString name = QStringLiteral("<b>Mood</b> [*] & co");
        const QString id = m_owner->store->createCollection(name);
        QWidget window;
        std::unique_ptr<QMenu> menu(makeSharingMenu(*m_owner->sharing, [id] { return id; }, &window));
        find(*menu, QStringLiteral("Share…"))->trigger();
        QTRY_VERIFY(openDialog());
        ManageSharingDialog *owners = openDialog();
        auto *url = owners->findChild<QLineEdit *>();
        QTRY_VERIFY(!url->text().isEmpty());
        QCOMPARE(owners->windowHandle()->title(), QStringLiteral("Manage Sharing: ") + name);
        for (QLineEdit *edit : owners->findChildren<QLineEdit *>())
            if (edit->placeholderText() == QLatin1String("User name"))
                edit->setText(QStringLiteral("friend"));
        button(owners, QStringLiteral("Invite"))->click();
        QTRY_COMPARE(owners->findChild<QListWidget *>()->count(), 1);
        QTRY_VERIFY(owners->isEnabled());
        QVERIFY(m_friend->acceptURL(url->text()));
        QTRY_COMPARE(m_friend->store->collection(id)->name, name);

        ManageSharingDialog dialog(*m_friend->sharing, id);
        dialog.winId();
        QCOMPARE(dialog.windowHandle()->title(), QStringLiteral("Manage Sharing: ") + name);
    }

    void delegateAcceptsOnlyShareURLs()
    {
        SharingAppDelegate delegate(*m_friend->sharing);
        QVERIFY(!delegate.openURL(QUrl(QStringLiteral("vellora://item/x"))));
        QVERIFY(!delegate.openURL(QUrl(QStringLiteral("https://elsewhere.invalid/share/abc"))));
        QVERIFY(delegate.openURL(QUrl(QStringLiteral("https://memory.invalid/share/abc"))));
    }

    void settingsSection()
    {
        std::unique_ptr<QWidget> section(makeSharingSettingsSection(*m_owner->settings));
        auto *address = section->findChild<QLineEdit *>(QStringLiteral("sharingServerURL"));
        auto *token = section->findChild<QLineEdit *>(QStringLiteral("sharingToken"));
        QVERIFY(address && token);
        QCOMPARE(token->echoMode(), QLineEdit::Password);
        address->setText(QStringLiteral(" https://share.example.org "));
        emit address->editingFinished();
        token->setText(QStringLiteral("secret"));
        emit token->editingFinished();
        QCOMPARE(m_owner->settings->string(QStringLiteral("sharingServerURL")), QStringLiteral("https://share.example.org"));
        QCOMPARE(m_owner->settings->string(QStringLiteral("sharingToken")), QStringLiteral("secret"));
        std::unique_ptr<QWidget> again(makeSharingSettingsSection(*m_owner->settings));
        QCOMPARE(again->findChild<QLineEdit *>(QStringLiteral("sharingServerURL"))->text(),
                 QStringLiteral("https://share.example.org"));
    }

    // Marking twice within two seconds starts one removal, two seconds after the first.
    void cloudStatusRemovesAfterTwoSeconds()
    {
        ManualScheduler scheduler;
        ScopedScheduler scoped(&scheduler);
        CloudStatus status;
        QSignalSpy changed(&status, &CloudStatus::waitingChanged);
        status.markWaiting(QStringLiteral("a"));
        scheduler.advance(1.5);
        status.markWaiting(QStringLiteral("a"));
        QVERIFY(status.isWaiting(QStringLiteral("a")));
        scheduler.advance(0.6);
        QVERIFY(!status.isWaiting(QStringLiteral("a")));
        QCOMPARE(changed.count(), 2);
        QCOMPARE(scheduler.pendingCount(), 0);
    }
};

QTEST_MAIN(SharingMenuTest)
#include "tst_sharingmenu.moc"
