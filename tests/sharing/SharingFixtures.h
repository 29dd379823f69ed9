#pragma once
// A library of its own for sharing tests: a temporary folder, a settings
// scope, a store and a sharing engine on a container the test chooses.

#include "../library/StoreFixtures.h"

#include "sharing/CollectionSharing.h"
#include "MemoryCloud.h"

#include "library/LibraryStore.h"
#include "platform/Defaults.h"
#include "platform/Digest.h"
#include "platform/Uuid.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace sharingtest {

using storetest::readFile;
using storetest::writeFile;

// A library's container acting as `user` on the in-memory service.
inline vellora::CollectionSharing::ContainerFactory memoryContainer(vellora::MemoryCloudService *service,
                                                                    const QString &user)
{
    return [service, user](QObject *) -> vellora::CloudContainer * { return service->container(user); };
}

struct Library {
    QTemporaryDir dir;
    std::unique_ptr<vellora::Defaults> settings;
    std::unique_ptr<vellora::LibraryStore> store;
    std::unique_ptr<vellora::CollectionSharing> sharing;

    explicit Library(vellora::CollectionSharing::ContainerFactory factory)
    {
        settings = std::make_unique<vellora::Defaults>(dir.filePath(QStringLiteral("settings.ini")));
        QDir().mkpath(root());
        store = std::make_unique<vellora::LibraryStore>(root(), false, *settings);
        sharing = std::make_unique<vellora::CollectionSharing>(*store, *settings, std::move(factory));
    }
    ~Library()
    {
        sharing.reset();
        store.reset();
    }
    QString root() const { return dir.filePath(QStringLiteral("library")); }

    // A picture item in `collections`, with an original and a thumbnail on disk.
    QString addImage(const QStringList &collections, const QByteArray &bytes = {})
    {
        const QString id = vellora::newUUIDString();
        const QByteArray original = bytes.isEmpty() ? QByteArray("picture ") + id.toLatin1() : bytes;
        writeFile(root() + QStringLiteral("/originals/") + id + QStringLiteral(".png"), original);
        writeFile(root() + QStringLiteral("/thumbnails/") + id + QStringLiteral(".jpg"), "thumb " + id.toLatin1());
        vellora::Item item;
        item.id = id;
        item.kind = QStringLiteral("image");
        item.originalFilename = QStringLiteral("shot ") + id.left(4) + QStringLiteral(".png");
        item.storedFilename = id + QStringLiteral(".png");
        item.thumbnailFilename = id + QStringLiteral(".jpg");
        item.pixelWidth = 40;
        item.pixelHeight = 30;
        item.contentHash = vellora::sha256Hex(vellora::sha256(original));
        item.dateAdded = 800000000.0;
        item.dateCreated = 800000000.0;
        item.collectionIds = collections;
        item.tags = QStringList{QStringLiteral("blue")};
        store->appendItems({item});
        return id;
    }
    QStringList addImages(int count, const QStringList &collections)
    {
        QStringList ids;
        for (int i = 0; i < count; ++i)
            ids.append(addImage(collections));
        store->save();
        return ids;
    }
    QStringList memberIds(const QString &collectionId) const
    {
        QStringList ids;
        for (const vellora::Item &item : sharing->items(collectionId))
            ids.append(item.id);
        ids.sort();
        return ids;
    }
    QStringList snapshotOf(const QString &collectionId) const
    {
        QStringList ids = sharing->snapshot().value_or(vellora::SharingSnapshot()).value(collectionId);
        ids.sort();
        return ids;
    }

    // Shares and waits; the share's URL, empty on failure.
    QString share(const QString &collectionId, vellora::CloudError *error = nullptr)
    {
        bool done = false;
        QString url;
        sharing->share(collectionId, [&](vellora::CloudResult<vellora::CloudRecord> result) {
            done = true;
            if (vellora::isError(result)) {
                if (error)
                    *error = std::get<vellora::CloudError>(result);
            } else {
                url = std::get<vellora::CloudRecord>(result).shareURL();
            }
        });
        [&] { QTRY_VERIFY_WITH_TIMEOUT(done, 20000); }();
        settle();
        return url;
    }
    // Waits until no push runs.
    void settle()
    {
        bool idle = false;
        sharing->whenUploadsFinish([&] { idle = true; });
        [&] { QTRY_VERIFY_WITH_TIMEOUT(idle, 60000); }();
    }
    void sync()
    {
        bool done = false;
        sharing->sync([&] { done = true; });
        [&] { QTRY_VERIFY_WITH_TIMEOUT(done, 60000); }();
        settle();
    }
    bool acceptURL(const QString &url)
    {
        bool done = false;
        std::optional<vellora::CloudError> failure;
        sharing->acceptURL(QUrl(url), [&](std::optional<vellora::CloudError> error) {
            failure = error;
            done = true;
        });
        [&] { QTRY_VERIFY_WITH_TIMEOUT(done, 60000); }();
        settle();
        return !failure;
    }
    void pushAll()
    {
        sharing->pushChanges();
        settle();
    }
    // The owner invites `user` to the collection's share.
    bool invite(const QString &collectionId, const QString &user,
                const QString &permission = QStringLiteral("readWrite"))
    {
        bool done = false;
        bool ok = false;
        sharing->fetchShare(collectionId, [&](vellora::CloudResult<vellora::CloudRecord> fetched) {
            if (vellora::isError(fetched)) {
                done = true;
                return;
            }
            vellora::CloudRecord share = std::get<vellora::CloudRecord>(fetched);
            QList<vellora::CloudParticipant> participants = share.participants();
            participants.append(vellora::CloudParticipant{user, permission, false});
            share.setParticipants(participants);
            sharing->saveShare(collectionId, share, [&](vellora::CloudResult<vellora::CloudRecord> saved) {
                ok = !vellora::isError(saved);
                done = true;
            });
        });
        [&] { QTRY_VERIFY_WITH_TIMEOUT(done, 20000); }();
        return ok;
    }
    bool stop(const QString &collectionId)
    {
        bool done = false;
        bool stopped = false;
        sharing->stopSharing(collectionId, [&](bool ok) {
            stopped = ok;
            done = true;
        });
        [&] { QTRY_VERIFY_WITH_TIMEOUT(done, 20000); }();
        return stopped;
    }
};

} // namespace sharingtest
