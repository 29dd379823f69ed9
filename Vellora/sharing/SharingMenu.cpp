#include "SharingMenu.h"

#include "CollectionSharing.h"
#include "HttpCloud.h"

#include "SharingRecords.h"

#include "platform/Defaults.h"
#include "platform/Logging.h"
#include "views/CollectionContents.h"
#include "views/PlainText.h"

#include <QClipboard>
#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QMessageBox>
#include <QFormLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QIcon>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QVBoxLayout>

namespace vellora {

namespace {

// One translation context for every word the sharing commands show.
struct SharingText {
    Q_DECLARE_TR_FUNCTIONS(vellora::SharingMenu)
};

QIcon themeIcon(const char *name) { return QIcon::fromTheme(QString::fromLatin1(name)); }

QString permissionText(const QString &permission)
{
    return permission == cloudprotocol::kPermissionReadWrite ? SharingText::tr("Can make changes")
                                                             : SharingText::tr("View only");
}

} // namespace

void presentSharing(CollectionSharing &sharing, const QString &collectionId, QWidget *parent)
{
    QPointer<QWidget> owner(parent);
    QPointer<CollectionSharing> service(&sharing);
    sharing.share(collectionId, [service, owner, collectionId](CloudResult<CloudRecord> result) {
        if (!service)
            return;
        if (isError(result)) {
            const QString reason = std::get<CloudError>(result).description();
            qCWarning(lcSharing, "share: %s", qUtf8Printable(reason));
            warnPlainly(owner, SharingText::tr("Sharing"), SharingText::tr("Couldn't share the collection: ") + reason);
            return;
        }
        auto *dialog = new ManageSharingDialog(*service, collectionId, owner);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->show();
    });
}

void addSharingActions(QMenu *menu, CollectionSharing &sharing, const QString &collectionId, QWidget *dialogParent)
{
    const auto board = sharing.store().collection(collectionId);
    if (!board)
        return;
    QPointer<CollectionSharing> service(&sharing);
    QPointer<QWidget> parent(dialogParent);
    if (!board->zone) {
        QAction *share =
            menu->addAction(themeIcon("contact-new"), QCoreApplication::translate("vellora::SharingMenu", "Share…"));
        share->setObjectName(QStringLiteral("share"));
        QObject::connect(share, &QAction::triggered, menu, [service, parent, collectionId] {
            if (service)
                presentSharing(*service, collectionId, parent);
        });
        return;
    }
    QAction *manage = menu->addAction(QCoreApplication::translate("vellora::SharingMenu", "Manage Sharing…"));
    manage->setObjectName(QStringLiteral("manageSharing"));
    QObject::connect(manage, &QAction::triggered, menu, [service, parent, collectionId] {
        if (service)
            presentSharing(*service, collectionId, parent);
    });
    QAction *stop = menu->addAction(themeIcon("list-remove-user"),
                                    isJoined(*board)
                                        ? QCoreApplication::translate("vellora::SharingMenu", "Leave Shared Collection")
                                        : QCoreApplication::translate("vellora::SharingMenu", "Stop Sharing"));
    stop->setObjectName(QStringLiteral("stopSharing"));
    QObject::connect(stop, &QAction::triggered, menu, [service, parent, collectionId] {
        if (service)
            confirmStopSharing(*service, collectionId, parent);
    });
}

QMenu *makeSharingMenu(CollectionSharing &sharing, std::function<QString()> currentCollection, QWidget *parent)
{
    auto *menu = new QMenu(QCoreApplication::translate("vellora::SharingMenu", "Sharing"), parent);
    QPointer<CollectionSharing> service(&sharing);
    QPointer<QWidget> window(parent);
    auto rebuild = [menu, service, window, currentCollection] {
        menu->clear();
        if (!service)
            return;
        addSharingActions(menu, *service, currentCollection ? currentCollection() : QString(), window);
        if (!menu->isEmpty())
            menu->addSeparator();
        QAction *accept = menu->addAction(QCoreApplication::translate("vellora::SharingMenu", "Accept Invitation…"));
        accept->setObjectName(QStringLiteral("acceptInvitation"));
        QObject::connect(accept, &QAction::triggered, menu, [service, window] {
            if (service)
                askToAcceptInvitation(*service, window);
        });
    };
    QObject::connect(menu, &QMenu::aboutToShow, menu, rebuild);
    rebuild();
    return menu;
}

void askToAcceptInvitation(CollectionSharing &sharing, QWidget *parent)
{
    auto *dialog = new AcceptInvitationDialog(sharing, parent);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->show();
}

QString invitationProblem(const CloudError &error)
{
    switch (error.code) {
    case CloudPermissionFailure:
        return SharingText::tr("You aren't invited to this shared collection. Ask its owner to invite your user "
                              "name in Manage Sharing, then open the link again.");
    case CloudNotAuthenticated:
        return SharingText::tr("The sharing service doesn't accept your token (%1). Check the token under "
                              "Settings ▸ Sharing.")
            .arg(error.message);
    case CloudBadContainer:
        return SharingText::tr("No sharing service is set up (%1). Enter its address and your token under "
                              "Settings ▸ Sharing.")
            .arg(error.message);
    case CloudUnknownItem:
        return SharingText::tr("This invitation doesn't exist (any more): check the link, or ask its owner "
                              "whether the collection is still shared.");
    case CloudNetworkUnavailable:
    case CloudNetworkFailure:
        return SharingText::tr("The sharing service can't be reached (%1). Try again later.").arg(error.message);
    case CloudInvalidArguments:
        if (error.message == QLatin1String("not a share of the sharing service"))
            return SharingText::tr("This isn't an invitation link of your sharing service (the address under "
                                  "Settings ▸ Sharing).");
        return SharingText::tr("This invitation can't be accepted: %1.").arg(error.message);
    default:
        return SharingText::tr("Couldn't accept the invitation: %1").arg(error.description());
    }
}

AcceptInvitationDialog::AcceptInvitationDialog(CollectionSharing &sharing, QWidget *parent)
    : QDialog(parent), m_sharing(sharing)
{
    setWindowTitle(SharingText::tr("Accept Invitation"));
    setMinimumWidth(440);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(SharingText::tr("Paste the invitation link you were sent:"), this));
    m_link = new QLineEdit(this);
    layout->addWidget(m_link);
    m_problem = new QLabel(this);
    m_problem->setObjectName(QStringLiteral("problem"));
    m_problem->setWordWrap(true);
    // The reason can quote the service: never markup.
    m_problem->setTextFormat(Qt::PlainText);
    m_problem->hide();
    layout->addWidget(m_problem);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    m_ok = buttons->button(QDialogButtonBox::Ok);
    m_ok->setText(SharingText::tr("Accept"));
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &AcceptInvitationDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

QString AcceptInvitationDialog::problem() const { return m_problem->isHidden() ? QString() : m_problem->text(); }

void AcceptInvitationDialog::acceptLink(const QUrl &url)
{
    m_link->setText(url.toString());
    accept();
}

void AcceptInvitationDialog::accept()
{
    const QString text = m_link->text().trimmed();
    if (text.isEmpty())
        return;
    m_problem->hide();
    m_problem->clear();
    m_ok->setEnabled(false);
    QPointer<AcceptInvitationDialog> self(this);
    m_sharing.acceptURL(QUrl(text), [self](std::optional<CloudError> error) {
        if (!self)
            return;
        self->m_ok->setEnabled(true);
        if (!error)
            return self->QDialog::accept();
        self->m_problem->setText(invitationProblem(*error));
        self->m_problem->show();
    });
}

namespace {

QString collectionName(CollectionSharing &sharing, const QString &collectionId)
{
    const auto board = sharing.store().collection(collectionId);
    return board ? board->name : QString();
}

} // namespace

bool confirmStopSharing(CollectionSharing &sharing, const QString &collectionId, QWidget *parent,
                        std::function<void(bool)> done)
{
    const auto board = sharing.store().collection(collectionId);
    if (!board || !board->zone)
        return false;
    const QString name = board->name;
    const bool joined = isJoined(*board);
    const bool yes = joined ? destructiveAlert()(parent, SharingText::tr("Leave “%1”?").arg(name),
                                                 SharingText::tr("You keep what is in it, but it no longer changes "
                                                                "with the others' copies."),
                                                 SharingText::tr("Leave"))
                            : destructiveAlert()(parent, SharingText::tr("Stop sharing “%1”?").arg(name),
                                                 SharingText::tr("The people you shared it with keep what they have, "
                                                                "but it no longer changes with yours."),
                                                 SharingText::tr("Stop Sharing"));
    if (!yes)
        return false;
    sharing.stopSharing(collectionId, [done](bool stopped) {
        if (done)
            done(stopped);
    });
    return true;
}

void confirmDeleteCollection(CollectionSharing &sharing, const QString &collectionId, QWidget *parent,
                             std::function<void()> remove)
{
    const auto board = sharing.store().collection(collectionId);
    if (!board || !board->zone) {
        remove();
        return;
    }
    const QString name = board->name;
    const bool joined = isJoined(*board);
    const QString informative =
        joined ? SharingText::tr("You leave the shared collection; its owner and the others keep it. You can't undo this.")
               : SharingText::tr("It is shared: deleting it stops sharing it, and the others' copies no longer "
                                "change with yours. You can't undo this.");
    if (!destructiveAlert()(parent, SharingText::tr("Delete “%1”?").arg(name), informative, SharingText::tr("Delete")))
        return;
    QPointer<QWidget> owner(parent);
    sharing.stopSharing(collectionId, [owner, name, joined, remove = std::move(remove)](bool stopped) {
        if (stopped) {
            remove();
            return;
        }
        // Deleting it here alone would leave the share running with no way to end it.
        auto *box = new QMessageBox(QMessageBox::Warning, SharingText::tr("Delete Collection"),
                                    SharingText::tr("“%1” was not deleted: %2 The sharing service could not be "
                                                   "reached; try again later.")
                                        .arg(name, joined ? SharingText::tr("leaving it failed.")
                                                          : SharingText::tr("stopping sharing it failed.")),
                                    QMessageBox::Ok, owner);
        box->setTextFormat(Qt::PlainText);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
    });
}

// ---------------------------------------------------------------- dialog

ManageSharingDialog::ManageSharingDialog(CollectionSharing &sharing, const QString &collectionId, QWidget *parent)
    : QDialog(parent), m_sharing(sharing), m_collectionId(collectionId)
{
    const auto board = sharing.store().collection(collectionId);
    setWindowTitle(windowTitleText(SharingText::tr("Manage Sharing: ") + (board ? board->name : QString())));
    setMinimumWidth(460);
    auto *layout = new QVBoxLayout(this);
    m_status = plainLabel(SharingText::tr("Loading…"), this);
    m_status->setWordWrap(true);
    layout->addWidget(m_status);

    auto *urlRow = new QHBoxLayout;
    m_url = new QLineEdit(this);
    m_url->setReadOnly(true);
    m_copy = new QPushButton(SharingText::tr("Copy"), this);
    urlRow->addWidget(m_url, 1);
    urlRow->addWidget(m_copy);
    layout->addLayout(urlRow);

    layout->addWidget(new QLabel(SharingText::tr("People"), this));
    m_participants = new QListWidget(this);
    layout->addWidget(m_participants, 1);

    auto *inviteRow = new QHBoxLayout;
    m_inviteName = new QLineEdit(this);
    m_inviteName->setPlaceholderText(SharingText::tr("User name"));
    m_invitePermission = new QComboBox(this);
    for (const QString permission : {cloudprotocol::kPermissionReadWrite, cloudprotocol::kPermissionReadOnly})
        m_invitePermission->addItem(permissionText(permission), permission);
    m_invite = new QPushButton(SharingText::tr("Invite"), this);
    inviteRow->addWidget(m_inviteName, 1);
    inviteRow->addWidget(m_invitePermission);
    inviteRow->addWidget(m_invite);
    layout->addLayout(inviteRow);

    auto *bottom = new QHBoxLayout;
    m_remove = new QPushButton(SharingText::tr("Remove"), this);
    const bool joined = board && isJoined(*board);
    m_stop = new QPushButton(joined ? SharingText::tr("Leave") : SharingText::tr("Stop Sharing"), this);
    auto *done = new QPushButton(SharingText::tr("Done"), this);
    bottom->addWidget(m_remove);
    bottom->addStretch(1);
    bottom->addWidget(m_stop);
    bottom->addWidget(done);
    layout->addLayout(bottom);

    // Only the owner decides who takes part.
    for (QWidget *ownerOnly : {static_cast<QWidget *>(m_inviteName), static_cast<QWidget *>(m_invitePermission),
                               static_cast<QWidget *>(m_invite), static_cast<QWidget *>(m_remove)})
        ownerOnly->setVisible(!joined);

    connect(m_copy, &QPushButton::clicked, this, [this] { QGuiApplication::clipboard()->setText(m_url->text()); });
    connect(m_invite, &QPushButton::clicked, this, &ManageSharingDialog::invite);
    connect(m_inviteName, &QLineEdit::returnPressed, this, &ManageSharingDialog::invite);
    connect(m_remove, &QPushButton::clicked, this, &ManageSharingDialog::removeSelected);
    connect(m_stop, &QPushButton::clicked, this, &ManageSharingDialog::stopOrLeave);
    connect(done, &QPushButton::clicked, this, &QDialog::accept);
    reload();
}

void ManageSharingDialog::reload()
{
    setEnabled(false);
    QPointer<ManageSharingDialog> self(this);
    m_sharing.fetchShare(m_collectionId, [self](CloudResult<CloudRecord> result) {
        if (!self)
            return;
        self->setEnabled(true);
        if (isError(result))
            return self->showError(SharingText::tr("Couldn't load the share: ") + std::get<CloudError>(result).description());
        self->m_share = std::get<CloudRecord>(result);
        self->showShare();
        if (!self->m_problem.isEmpty())
            self->m_status->setText(std::exchange(self->m_problem, QString()));
    });
}

void ManageSharingDialog::showShare()
{
    const QString url = m_share->shareURL();
    m_url->setText(url);
    m_status->setText(url.isEmpty() ? SharingText::tr("The share has no link.")
                                    : SharingText::tr("People you invite open this link with Accept Invitation…"));
    m_participants->clear();
    for (const CloudParticipant &p : m_share->participants()) {
        auto *row = new QListWidgetItem(p.user + QStringLiteral(" — ") + permissionText(p.permission)
                                            + (p.accepted ? QString() : SharingText::tr(" (invited)")),
                                        m_participants);
        row->setData(Qt::UserRole, p.user);
    }
    if (m_participants->count() == 0)
        m_participants->addItem(SharingText::tr("Nobody yet"));
}

void ManageSharingDialog::showError(const QString &text) { m_status->setText(text); }

void ManageSharingDialog::saveParticipants(const QList<CloudParticipant> &participants, const QString &invited)
{
    if (!m_share)
        return;
    CloudRecord changed = *m_share;
    changed.setParticipants(participants);
    setEnabled(false);
    QPointer<ManageSharingDialog> self(this);
    m_sharing.saveShare(m_collectionId, changed, [self, invited, shareName = changed.name](CloudResult<CloudRecord> result) {
        if (!self)
            return;
        self->setEnabled(true);
        if (isError(result)) {
            const CloudError &error = std::get<CloudError>(result);
            // The service refuses a participant it has no user for.
            const bool unknownUser = !invited.isEmpty()
                && (error.code == CloudInvalidArguments || error.perRecord.value(shareName) == CloudInvalidArguments);
            self->m_problem = unknownUser
                ? SharingText::tr("Couldn't invite “%1”: the sharing service has no user of that name "
                                 "(and you can't invite yourself).")
                      .arg(invited)
                : SharingText::tr("Couldn't change who takes part: ") + error.description();
            self->showError(self->m_problem);
            return self->reload();
        }
        self->m_share = std::get<CloudRecord>(result);
        self->m_inviteName->clear();
        self->showShare();
    });
}

void ManageSharingDialog::invite()
{
    const QString name = m_inviteName->text().trimmed();
    if (name.isEmpty() || !m_share)
        return;
    QList<CloudParticipant> participants = m_share->participants();
    for (const CloudParticipant &p : participants)
        if (p.user == name)
            return;
    participants.append(CloudParticipant{name, m_invitePermission->currentData().toString(), false});
    saveParticipants(participants, name);
}

void ManageSharingDialog::removeSelected()
{
    const QListWidgetItem *row = m_participants->currentItem();
    if (!row || !m_share)
        return;
    const QString user = row->data(Qt::UserRole).toString();
    QList<CloudParticipant> participants = m_share->participants();
    participants.removeIf([&](const CloudParticipant &p) { return p.user == user; });
    saveParticipants(participants);
}

void ManageSharingDialog::stopOrLeave()
{
    QPointer<ManageSharingDialog> self(this);
    const bool started = confirmStopSharing(m_sharing, m_collectionId, this, [self](bool stopped) {
        if (!self)
            return;
        self->setEnabled(true);
        if (stopped)
            self->accept();
        else
            self->showError(SharingText::tr("Couldn't stop sharing; the collection is still shared."));
    });
    if (started)
        setEnabled(false);
}

// ---------------------------------------------------------------- settings

QWidget *makeSharingSettingsSection(Defaults &settings, QWidget *parent)
{
    auto *section = new QWidget(parent);
    auto *form = new QFormLayout(section);
    form->setContentsMargins(0, 0, 0, 0);
    auto *address = new QLineEdit(settings.string(kSharingServerURLKey), section);
    address->setObjectName(QStringLiteral("sharingServerURL"));
    address->setPlaceholderText(QStringLiteral("https://share.example.org"));
    auto *token = new QLineEdit(settings.string(kSharingTokenKey), section);
    token->setObjectName(QStringLiteral("sharingToken"));
    token->setEchoMode(QLineEdit::Password);
    auto *note = new QLabel(SharingText::tr("The sharing service you run (vellora-cloud). Plain http is used only "
                                           "on this computer. Changes apply when Vellora next starts."),
                            section);
    note->setWordWrap(true);
    form->addRow(SharingText::tr("Sharing service:"), address);
    form->addRow(SharingText::tr("Token:"), token);
    form->addRow(note);
    QPointer<Defaults> store(&settings);
    QObject::connect(address, &QLineEdit::editingFinished, section, [store, address] {
        if (store)
            store->set(kSharingServerURLKey, address->text().trimmed());
    });
    QObject::connect(token, &QLineEdit::editingFinished, section, [store, token] {
        if (store)
            store->set(kSharingTokenKey, token->text().trimmed());
    });
    return section;
}

// ---------------------------------------------------------------- delegate

SharingAppDelegate::SharingAppDelegate(CollectionSharing &sharing, QObject *parent) : QObject(parent), m_sharing(sharing)
{
    if (auto *app = qobject_cast<QGuiApplication *>(QCoreApplication::instance())) {
        connect(app, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState state) {
            if (state == Qt::ApplicationActive)
                m_sharing.sync();
        });
    }
    // The event stream reaches the engine through its container's remoteChange().
}

bool SharingAppDelegate::openURL(const QUrl &url, QWidget *window)
{
    if (!m_sharing.container().isShareURL(url))
        return false;
    // The user hears how it went: an invitation that fails says why.
    auto *dialog = new AcceptInvitationDialog(m_sharing, window ? window : QApplication::activeWindow());
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->show();
    dialog->acceptLink(url);
    return true;
}

} // namespace vellora
