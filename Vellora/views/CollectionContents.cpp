#include "CollectionContents.h"

#include "enrichment/LinkParser.h"
#include "enrichment/LinkPipeline.h"
#include "library/LibraryStore.h"
#include "library/LibraryStoreMedia.h"

#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

#include <algorithm>

namespace vellora {

QList<Item> itemsInCollection(const LibraryStore &store, const QString &sectionId)
{
    QList<Item> out;
    if (sectionId == kSectionAll)
        return store.activeItems();
    if (sectionId == kSectionInbox) {
        const QString inbox = store.defaultBoardId();
        for (const Item &item : store.items())
            if (item.collectionIds.contains(inbox))
                out.append(item);
        return out;
    }
    if (sectionId == kSectionLinks) {
        for (const Item &item : store.items())
            if (!item.trashedAt && item.kind == QLatin1String("link"))
                out.append(item);
        return out;
    }
    if (sectionId == kSectionTrash) {
        for (const Item &item : store.items())
            if (item.trashedAt)
                out.append(item);
        std::stable_sort(out.begin(), out.end(),
                         [](const Item &a, const Item &b) { return *a.trashedAt > *b.trashedAt; });
        return out;
    }
    for (const SmartFolder &folder : store.smartFolders()) {
        if (folder.id != sectionId)
            continue;
        if (folder.rules.isEmpty())
            return out;
        const bool any = folder.match == QLatin1String("any");
        for (const Item &item : store.items()) {
            if (item.trashedAt)
                continue;
            const bool keep = any ? std::any_of(folder.rules.begin(), folder.rules.end(),
                                                [&](const Rule &rule) { return rule.matches(item); })
                                  : std::all_of(folder.rules.begin(), folder.rules.end(),
                                                [&](const Rule &rule) { return rule.matches(item); });
            if (keep)
                out.append(item);
        }
        return out;
    }
    for (const Item &item : store.items())
        if (item.collectionIds.contains(sectionId))
            out.append(item);
    return out;
}

QString resolveBoardId(const LibraryStore &store, const QString &sectionId)
{
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
        importFiles(store, files, boardId);
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

namespace {
bool messageBoxAlert(QWidget *parent, const QString &message, const QString &informative,
                     const QString &destructiveButton)
{
    QMessageBox box(parent);
    box.setIcon(QMessageBox::Warning);
    box.setText(message);
    box.setInformativeText(informative);
    // The destructive choice comes first, as the user reads it.
    QPushButton *destroy = box.addButton(destructiveButton, QMessageBox::DestructiveRole);
    QPushButton *cancel = box.addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
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
                                ? QStringLiteral("Delete this item permanently?")
                                : QStringLiteral("Delete %1 items permanently?").arg(ids.size());
    if (!destructiveAlert()(parent, message, QStringLiteral("You can't undo this."), QStringLiteral("Delete")))
        return false;
    for (const QString &id : ids)
        store.deletePermanently(id);
    return true;
}

} // namespace vellora
