#pragma once
// The sharing entries of the window: a collection's sharing actions, the
// Manage Sharing dialog that stands in for the system's sharing sheet, and
// "Accept Invitation…". SharingAppDelegate turns window activation and the
// service's event stream into syncs.

#include "CloudDatabase.h"

#include <QDialog>
#include <QPointer>

#include <functional>

class QLabel;
class QLineEdit;
class QComboBox;
class QListWidget;
class QMenu;
class QPushButton;

namespace vellora {

class CollectionSharing;

// Adds the entries for one collection to `menu`: "Share…" for a local
// collection; "Manage Sharing…" and then "Stop Sharing" (owner) or "Leave
// Shared Collection" (participant) for a shared one.
void addSharingActions(QMenu *menu, CollectionSharing &sharing, const QString &collectionId, QWidget *dialogParent);

// The "Sharing" submenu for the window's File menu: the entries of the
// collection `currentCollection()` names (rebuilt each time the menu opens)
// and "Accept Invitation…".
QMenu *makeSharingMenu(CollectionSharing &sharing, std::function<QString()> currentCollection, QWidget *parent);

// Asks for an invitation link and accepts it (an AcceptInvitationDialog).
void askToAcceptInvitation(CollectionSharing &sharing, QWidget *parent);

// What a failed acceptance tells the user: what went wrong and what to do.
QString invitationProblem(const CloudError &error);

// "Accept Invitation": the link, what went wrong with it, and the buttons.
// Stays open with the reason when the invitation cannot be accepted.
class AcceptInvitationDialog : public QDialog {
    Q_OBJECT
public:
    AcceptInvitationDialog(CollectionSharing &sharing, QWidget *parent = nullptr);
    // Accepts `url` at once (a link handed to the program).
    void acceptLink(const QUrl &url);
    QString problem() const;

private:
    void accept() override;

    CollectionSharing &m_sharing;
    QLineEdit *m_link;
    QLabel *m_problem;
    QPushButton *m_ok;
};

// Asks "Stop sharing “name”?" (owner) or "Leave “name”?" (participant) and
// only then stops or leaves. True when the user agreed: `done` then hears
// later whether it happened.
bool confirmStopSharing(CollectionSharing &sharing, const QString &collectionId, QWidget *parent,
                        std::function<void(bool stopped)> done = {});

// Deleting a collection: a shared one is deleted only after the usual
// question, and only once sharing it stopped (owner) or it was left
// (participant); `remove` deletes it. A local one goes at once.
void confirmDeleteCollection(CollectionSharing &sharing, const QString &collectionId, QWidget *parent,
                             std::function<void()> remove);

// Shares the collection when needed and opens the Manage Sharing dialog.
void presentSharing(CollectionSharing &sharing, const QString &collectionId, QWidget *parent);

class ManageSharingDialog : public QDialog {
    Q_OBJECT
public:
    ManageSharingDialog(CollectionSharing &sharing, const QString &collectionId, QWidget *parent = nullptr);

    // Loads the share from the service (the dialog shows "Loading…" until then).
    void reload();

private:
    void showShare();
    void showError(const QString &text);
    void invite();
    void removeSelected();
    void stopOrLeave();
    void saveParticipants(const QList<CloudParticipant> &participants, const QString &invited = {});

    CollectionSharing &m_sharing;
    QString m_collectionId;
    QLabel *m_status;
    QLineEdit *m_url;
    QPushButton *m_copy;
    QListWidget *m_participants;
    QLineEdit *m_inviteName;
    QComboBox *m_invitePermission;
    QPushButton *m_invite;
    QPushButton *m_remove;
    QPushButton *m_stop;
    std::optional<CloudRecord> m_share;
    // Shown again over the reloaded share: a failure is not replaced by the reload.
    QString m_problem;
};

class Defaults;

// The settings window's section for the sharing service: its address
// ("sharingServerURL") and the token it gave ("sharingToken"), written as
// they are edited. The program uses them from its next start.
QWidget *makeSharingSettingsSection(Defaults &settings, QWidget *parent = nullptr);

// Window activation and the service's event stream run a sync; a share URL
// handed to the program is accepted.
class SharingAppDelegate : public QObject {
    Q_OBJECT
public:
    explicit SharingAppDelegate(CollectionSharing &sharing, QObject *parent = nullptr);
    // True when `url` is an invitation of the configured service; it is then
    // accepted in an AcceptInvitationDialog, which says what went wrong.
    bool openURL(const QUrl &url, QWidget *window = nullptr);

private:
    CollectionSharing &m_sharing;
};

} // namespace vellora
