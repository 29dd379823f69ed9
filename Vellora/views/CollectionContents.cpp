#include "CollectionContents.h"

#include "PlainText.h"
#include "enrichment/LinkPipeline.h"
#include "library/LibraryStore.h"
#include "library/LibraryStoreMedia.h"
#include "library/LinkParser.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QMimeData>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

#include <algorithm>

namespace vellora {

QList<Item> itemsInCollection(const LibraryStore &store, const QString &sectionId)
{
    if (sectionId == kSectionAll) {
        // Nothing in the trash: the store's own list, shared, not copied.
        const QList<Item> &all = store.items();
        if (std::none_of(all.begin(), all.end(), [](const Item &item) { return bool(item.trashedAt); }))
            return all;
        return store.activeItems();
    }
    QList<Item> out;
    const auto member = sectionMembership(store, sectionId);
    for (const Item &item : store.items())
        if (member(item))
            out.append(item);
    if (sectionId == kSectionTrash)
        std::stable_sort(out.begin(), out.end(),
                         [](const Item &a, const Item &b) { return *a.trashedAt > *b.trashedAt; });
    return out;
}

QString resolveBoardId(const LibraryStore &store, const QString &sectionId)
{
    // A section is never a collection, whatever a collection's id says.
    if (builtInSection(sectionId))
        return store.defaultBoardId();
    for (const Board &board : store.collections())
        if (board.id == sectionId)
            return sectionId;
    return store.defaultBoardId();
}

void importURLs(const QList<QUrl> &urls, LibraryStore &store, const QString &boardId)
{
    QStringList files;
    QStringList links;
    for (const QUrl &url : urls) {
        if (url.isLocalFile()) {
            files.append(url.toLocalFile());
        } else if (const auto link = normalizedLinkURL(url.toString(QUrl::FullyEncoded))) {
            links.append(*link);
        }
    }
    if (!files.isEmpty())
        importFiles(store, files, boardId, KnownPictures::JoinCollection);
    // Each link is added on a later turn, as the drop or paste that brought
    // it has finished; the store's lifetime bounds the task.
    for (const QString &link : links) {
        QTimer::singleShot(0, &store, [store = QPointer<LibraryStore>(&store), link, boardId] {
            if (!store)
                return;
            const QString id = addLink(*store, link, boardId);
            fetchLinkMetadata(*store, id);
        });
    }
}

QStringList draggedItemIds(const QMimeData &data)
{
    if (!data.hasFormat(QLatin1String(kItemIdsMime)))
        return {};
    return QString::fromUtf8(data.data(QLatin1String(kItemIdsMime))).split(u'\n', Qt::SkipEmptyParts);
}

namespace {
bool messageBoxAlert(QWidget *parent, const QString &message, const QString &informative,
                     const QString &destructiveButton)
{
    QMessageBox box(parent);
    box.setIcon(QMessageBox::Warning);
    box.setText(message);
    box.setInformativeText(informative);
    makePlain(box);
    // The destructive choice comes first, as the user reads it.
    QPushButton *destroy = box.addButton(destructiveButton, QMessageBox::DestructiveRole);
    QPushButton *cancel = box.addButton(QCoreApplication::translate("vellora::CollectionContents", "Cancel"), QMessageBox::RejectRole);
    box.setDefaultButton(cancel);
    box.setEscapeButton(cancel);
    box.exec();
    return box.clickedButton() == destroy;
}
} // namespace

DestructiveAlert &destructiveAlert()
{
    static DestructiveAlert alert = messageBoxAlert;
    return alert;
}

void setDestructiveAlert(DestructiveAlert alert)
{
    destructiveAlert() = alert ? std::move(alert) : DestructiveAlert(messageBoxAlert);
}

bool confirmDeletePermanently(const QStringList &ids, LibraryStore &store, QWidget *parent)
{
    if (ids.isEmpty())
        return false;
    const QString message = ids.size() == 1
                                ? QCoreApplication::translate("vellora::CollectionContents", "Delete this item permanently?")
                                : QCoreApplication::translate("vellora::CollectionContents", "Delete %1 items permanently?").arg(ids.size());
    if (!destructiveAlert()(parent, message, QCoreApplication::translate("vellora::CollectionContents", "You can't undo this."), QCoreApplication::translate("vellora::CollectionContents", "Delete")))
        return false;
    for (const QString &id : ids)
        store.deletePermanently(id);
    return true;
}

} // namespace vellora
