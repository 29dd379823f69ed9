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

// Asks for an invitation link and accepts it.
void askToAcceptInvitation(CollectionSharing &sharing, QWidget *parent);

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
    void saveParticipants(const QList<CloudParticipant> &participants);

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
    // True when `url` is an invitation of the configured service; it is then accepted.
    bool openURL(const QUrl &url);

private:
    CollectionSharing &m_sharing;
};

} // namespace vellora
