#pragma once
// A library folder of its own for each view test: a store on a temporary
// folder, pictures added through the store's own import (so originals and
// thumbnails exist), and link items as the link road would leave them.

#include "../library/StoreFixtures.h"

#include "library/LibraryStore.h"
#include "library/LibraryStoreMedia.h"

#include <QColor>
#include <QDir>
#include <QImage>
#include <QPainter>
#include <QTemporaryDir>

#include <memory>

namespace gridtest {

inline QImage picture(int width, int height, const QColor &colour)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(colour);
    QPainter p(&image);
    p.fillRect(QRect(width / 4, height / 4, width / 2, height / 2), colour.darker(160));
    return image;
}

inline vellora::Item link(const QString &id, const QString &address, const QStringList &collections)
{
    vellora::Item item = storetest::namedItem(id, QStringLiteral("link"));
    item.pixelWidth = 1280;
    item.pixelHeight = 800;
    item.contentHash = QStringLiteral("link-") + id;
    item.dateAdded = 800000000.0;
    item.dateCreated = 800000000.0;
    item.collectionIds = collections;
    item.sourceURL = address;
    item.title = QStringLiteral("A page about ") + id;
    item.snapshotDate = 800000100.0;
    return item;
}

struct Library {
    QTemporaryDir dir;
    std::unique_ptr<vellora::LibraryStore> store;

    Library()
    {
        store = std::make_unique<vellora::LibraryStore>(dir.path() + QStringLiteral("/Library"), false);
    }
    QString root() const { return store->root(); }
    QString inbox() const { return store->defaultBoardId(); }

    // Adds pictures of the given colours (one item each) into a collection;
    // returns their ids in order.
    QStringList addPictures(const QList<QColor> &colours, const QString &collection = {}, QSize size = {160, 120})
    {
        QStringList files;
        QDir().mkpath(dir.path() + QStringLiteral("/in"));
        int i = 0;
        for (const QColor &colour : colours) {
            const QString path = dir.path() + QStringLiteral("/in/picture-%1-%2.png").arg(store->items().size()).arg(i++);
            picture(size.width(), size.height(), colour).save(path);
            files << path;
        }
        const qsizetype before = store->items().size();
        vellora::addFiles(*store, files, collection.isEmpty() ? inbox() : collection);
        QStringList ids;
        for (qsizetype k = before; k < store->items().size(); ++k)
            ids << store->items().at(k).id;
        return ids;
    }
};

} // namespace gridtest
