#include "library/LibraryStoreMedia.h"

#include "library/LibraryFileAccess.h"
#include "library/LibraryLocation.h"
#include "library/Media.h"
#include "library/MediaImport.h"
#include "library/OldLibrary.h"
#include "library/SafeNames.h"
#include "library/Services.h"
#include "library/StorageCap.h"

#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/Defaults.h"
#include "platform/FileCopy.h"
#include "platform/ImageIO.h"
#include "platform/IntakeFile.h"
#include "platform/Logging.h"
#include "platform/Scheduler.h"
#include "platform/Ubiquity.h"
#include "platform/Uuid.h"
#include "platform/WebAddress.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QPointer>
#include <QSemaphore>
#include <QThread>
#include <QThreadPool>

#include <atomic>
#include <limits>

namespace vellora {

namespace {

constexpr char kCapKey[] = "localStorageCapMB";
constexpr int kBatchSize = 100;
// A site's icon; nothing of that name is ever larger.
constexpr qint64 kMaxFaviconBytes = qint64(4) << 20;
constexpr unsigned long kCoverPauseMs = 20;

bool onMainThread()
{
    const QCoreApplication *app = QCoreApplication::instance();
    return !app || QThread::currentThread() == app->thread();
}

// Imports and the passes of the storage cap and downloads share the global
// pool; the cover back-fill has one low-priority thread of its own, so that
// it yields to them. The pool is never destroyed: quitting must not wait for
// a back-fill (every cover is written atomically, so stopping mid-way is safe).
QThreadPool &backgroundPool()
{
    static QThreadPool *pool = [] {
        auto *p = new QThreadPool;
        p->setMaxThreadCount(1);
        p->setThreadPriority(QThread::LowestPriority);
        return p;
    }();
    return *pool;
}

// Waits until the main thread has run `count` tasks posted to it, each of
// which releases `done` once. Gives up when the application is going away:
// its event loop has ended and will never run them, and its destructor waits
// for the threads of the global pool, this one included, so waiting on would
// hang the quit. False when it gave up.
bool awaitMainThread(QSemaphore &done, int count)
{
    for (int taken = 0; taken < count;) {
        if (done.tryAcquire(1, 50)) {
            ++taken;
            continue;
        }
        if (!QCoreApplication::instance() || QCoreApplication::closingDown())
            return false;
    }
    return true;
}

// Runs `fn` on the main thread and waits for it. False, without having run
// it, when the application is going away.
bool runOnMainAndWait(std::function<void()> fn)
{
    // Shared with the posted task, which may outlive a wait that gave up.
    auto done = std::make_shared<QSemaphore>();
    Scheduler::main().post([done, fn = std::move(fn)] {
        fn();
        done->release();
    });
    return awaitMainThread(*done, 1);
}

QSet<QString> contentHashes(const QList<Item> &items)
{
    QSet<QString> hashes;
    hashes.reserve(items.size());
    for (const Item &item : items)
        hashes.insert(item.contentHash);
    return hashes;
}

qint64 capBytes()
{
    const qint64 megabytes = Defaults::standard().integer(QString::fromLatin1(kCapKey), 0);
    if (megabytes <= 0)
        return 0;
    if (megabytes > std::numeric_limits<qint64>::max() / kCapBytesPerMegabyte)
        return std::numeric_limits<qint64>::max();
    return megabytes * kCapBytesPerMegabyte;
}

void enforceStorageCapPass(LibraryStore &store, const std::optional<QString> &keep)
{
    const qint64 cap = capBytes();
    const QString root = store.root();
    if (!LibraryLocation::isICloud(root) || cap < 1)
        return;
    QList<CapCandidate> candidates;
    for (const Item &item : store.items()) {
        if (keep && item.id == *keep)
            continue;
        const QString path = originalPath(root, item.storedFilename);
        if (!path.isEmpty())
            candidates.append(CapCandidate{path, item.lastOpenedAt});
    }
    QThreadPool::globalInstance()->start([candidates, cap] {
        const CapPassResult result = evictOriginalsAboveCap(candidates, cap, Ubiquity::current());
        qCInfo(lcVellora).noquote() << storageLogLine(result, cap, true);
    });
}

void backfillCoversPass(LibraryStore &store)
{
    const QString root = store.root();
    QStringList names;
    for (const Item &item : store.items())
        names.append(item.thumbnailFilename);
    backgroundPool().start([root, names] {
        int count = 0;
        for (const QString &name : names) {
            const QString cover = coverPath(root, name);
            const QString thumbnail = thumbnailPath(root, name);
            if (cover.isEmpty() || thumbnail.isEmpty() || QFileInfo::exists(cover))
                continue;
            // A thumbnail still in the cloud is asked for; its cover comes after a later load.
            if (!ensureDownloaded(thumbnail))
                continue;
            if (writeCover(root, name)) {
                ++count;
                QThread::msleep(kCoverPauseMs);
            }
        }
        if (count > 0)
            qCInfo(lcVellora).noquote() << QStringLiteral("Vellora covers: backfilled %1").arg(count);
    });
}

void prefetchThumbnailsPass(LibraryStore &store, const QList<Item> &items)
{
    const QString root = store.root();
    if (!LibraryLocation::isICloud(root) || items.isEmpty())
        return;
    QStringList paths;
    for (const Item &item : items) {
        const QString path = thumbnailPath(root, item.thumbnailFilename);
        if (!path.isEmpty())
            paths.append(path);
    }
    QPointer<LibraryStore> self(&store);
    QThreadPool::globalInstance()->start([self, root, paths] {
        int requested = 0;
        for (const QString &path : paths) {
            if (!ensureDownloaded(path))
                ++requested;
        }
        qCInfo(lcVellora).noquote()
            << QStringLiteral("Vellora prefetch: %1 of %2 thumbnails downloading").arg(requested).arg(paths.size());
        Scheduler::main().post([self, root, requested] {
            if (self && self->root() == root)
                self->setPendingDownloads(requested);
        });
    });
}

} // namespace

void installMediaServices()
{
    LibraryServices &services = LibraryServices::installed();
    services.enforceStorageCap = enforceStorageCapPass;
    services.backfillCovers = backfillCoversPass;
    services.prefetchThumbnails = prefetchThumbnailsPass;
}

int addToCollection(LibraryStore &store, const QStringList &ids, const QString &collectionId)
{
    if (!store.collection(collectionId))
        return 0;
    int added = 0;
    for (const QString &id : ids) {
        std::optional<Item> item = store.item(id);
        if (!item)
            continue;
        if (item->trashedAt) {
            store.restore({id});
            item = store.item(id);
        } else if (item->collectionIds.contains(collectionId)) {
            continue;
        }
        QStringList collections = item->collectionIds;
        if (!collections.contains(collectionId)) {
            collections.append(collectionId);
            store.setCollections(collections, id);
        }
        ++added;
    }
    return added;
}

namespace {
// The items that hold pictures of these content hashes join the collection.
int joinKnown(LibraryStore &store, const QStringList &hashes, const QString &collectionId)
{
    if (hashes.isEmpty())
        return 0;
    const QSet<QString> wanted(hashes.begin(), hashes.end());
    QStringList ids;
    for (const Item &item : store.items())
        if (wanted.contains(item.contentHash))
            ids.append(item.id);
    return addToCollection(store, ids, collectionId);
}

// The off-main-thread import: the store is read and changed only through
// posts to the main thread, and only while it still exists.
ImportReport addFilesFromWorker(const QPointer<LibraryStore> &self, const QStringList &files, const QString &collectionId,
                                KnownPictures knownPictures)
{
    struct Start {
        bool alive = false;
        QString root;
        QSet<QString> known;
    };
    auto start = std::make_shared<Start>();
    const bool ran = runOnMainAndWait([self, start] {
        if (!self)
            return;
        start->alive = true;
        start->root = self->root();
        start->known = contentHashes(self->items());
    });
    if (!ran || !start->alive)
        return {};
    const QString root = start->root;
    const QSet<QString> known = start->known;

    // Every batch handed over is counted, and the call waits until the main
    // thread has taken each of them in.
    auto inserted = std::make_shared<QSemaphore>();
    std::atomic<int> posted{0};
    const auto deliver = [&](QList<Item> batch) {
        if (batch.isEmpty())
            return;
        ++posted;
        Scheduler::main().post([self, root, batch = std::move(batch), inserted] {
            // A batch for a folder the store no longer shows is dropped.
            if (self && self->root() == root) {
                self->appendItems(batch);
                self->scheduleSave();
                self->indexInSpotlight(batch);
            }
            inserted->release();
        });
    };
    const ParallelImportResult result = importInParallel(root, files, collectionId, known, kBatchSize, deliver);
    awaitMainThread(*inserted, posted.load());
    ImportReport report{result.added, result.duplicates, result.skipped, 0, result.writeError, true};
    if (knownPictures == KnownPictures::JoinCollection && !result.duplicateHashes.isEmpty()) {
        auto joined = std::make_shared<int>(0);
        const QStringList hashes = result.duplicateHashes;
        runOnMainAndWait([self, root, hashes, collectionId, joined] {
            if (self && self->root() == root)
                *joined = joinKnown(*self, hashes, collectionId);
        });
        report.joined = *joined;
    }
    return report;
}
} // namespace

ImportReport addFilesReporting(LibraryStore &store, const QStringList &files, const QString &collectionId,
                               KnownPictures known)
{
    if (!onMainThread())
        return addFilesFromWorker(QPointer<LibraryStore>(&store), files, collectionId, known);

    QList<Item> made;
    const ParallelImportResult result =
        importInParallel(store.root(), files, collectionId, contentHashes(store.items()), 0,
                         [&made](QList<Item> batch) { made += batch; });
    if (!made.isEmpty()) {
        store.appendItems(made);
        store.indexInSpotlight(made);
    }
    ImportReport report{result.added, result.duplicates, result.skipped, 0, result.writeError, true};
    if (known == KnownPictures::JoinCollection)
        report.joined = joinKnown(store, result.duplicateHashes, collectionId);
    if (result.added > 0)
        report.saved = store.save();
    return report;
}

int addFiles(LibraryStore &store, const QStringList &files, const QString &collectionId, KnownPictures known)
{
    return addFilesReporting(store, files, collectionId, known).added;
}

void importFiles(LibraryStore &store, const QStringList &files, const QString &collectionId, KnownPictures known)
{
    store.beginImport();
    QPointer<LibraryStore> self(&store);
    QThreadPool::globalInstance()->start([self, files, collectionId, known] {
        addFilesFromWorker(self, files, collectionId, known);
        Scheduler::main().post([self] {
            if (self)
                self->endImport();
        });
    });
}

std::optional<QUrl> exportURL(const LibraryStore &store, const QString &id)
{
    const std::optional<Item> item = store.item(id);
    if (!item)
        return std::nullopt;
    if (item->kind == QLatin1String("link")) {
        if (!item->sourceURL)
            return std::nullopt;
        const QUrl url(*item->sourceURL, QUrl::StrictMode);
        if (!url.isValid() || url.scheme().isEmpty())
            return std::nullopt;
        return url;
    }
    const std::optional<QString> file = exportFile(store.root(), *item);
    if (!file)
        return std::nullopt;
    return QUrl::fromLocalFile(*file);
}

bool importLinkEntry(LibraryStore &store, const nlohmann::json &entry, const QString &folder,
                     const QString &collectionId)
{
    const std::optional<QString> address = oldString(entry, "linkURLString");
    if (!address)
        return false;
    for (const Item &existing : store.items()) {
        if (existing.sourceURL == *address)
            return false;
    }
    const QString root = store.root();
    const double added = oldNumber(entry, "dateAdded").value_or(now());

    Item item;
    item.id = newUUIDString();
    item.kind = QStringLiteral("link");
    const QString host = WebAddress::hostOf(*address);
    item.originalFilename = host.isEmpty() ? *address : host;
    item.storedFilename = item.id + QStringLiteral(".png");
    item.thumbnailFilename = item.id + QStringLiteral(".jpg");
    item.contentHash = QStringLiteral("link:") + *address;
    item.dateAdded = added;
    item.dateCreated = added;
    item.collectionIds = QStringList{store.collection(collectionId) ? collectionId : store.defaultBoardId()};
    item.pixelWidth = 1280;
    item.pixelHeight = 800;
    item.sourceURL = *address;
    item.title = oldString(entry, "linkTitle");
    item.summary = oldString(entry, "linkDescription");

    if (const auto favicon = oldString(entry, "linkFaviconFilename")) {
        const auto source = libraryFilePath(folder, QStringLiteral("thumbnails"), *favicon);
        const QString name = item.id + QStringLiteral(".png");
        // The old folder is not ours: its files are read as they are, never
        // through a link, never from a FIFO or device, and within a cap.
        const auto file = source ? IntakeFile::open(*source, LinkPolicy::Refuse, kMaxFaviconBytes) : std::nullopt;
        const QString target = faviconPath(root, name);
        if (file && !target.isEmpty() && file->copyTo(target))
            item.faviconFilename = name;
    }
    if (const auto snapshot = oldString(entry, "linkSnapshotFilename")) {
        const auto source = libraryFilePath(folder, QStringLiteral("thumbnails"), *snapshot);
        const auto bytes = source ? readIntakeFile(*source, LinkPolicy::Refuse, kMaxPictureBytes) : std::nullopt;
        const QImage image = bytes && looksLikePicture(bytes->left(64)) ? downsampledImage(*bytes, 4096) : QImage();
        if (!image.isNull()) {
            if (const auto stored = storeImage(root, image, item)) {
                item.pixelWidth = stored->pixelWidth;
                item.pixelHeight = stored->pixelHeight;
                item.fileSize = stored->fileSize;
                item.snapshotDate = oldNumber(entry, "linkSnapshotDate").value_or(item.dateAdded);
            }
        }
    }
    store.appendItems({item});
    return true;
}

LibraryImportCounts importLibrary(LibraryStore &store, const QString &folder)
{
    LibraryImportCounts counts;
    const std::optional<OldLibrary> old = readOldLibrary(folder);
    if (!old) {
        printLine(QStringLiteral("no library.json in ") + folder);
        return counts;
    }

    QList<Board> boards = store.collections();
    const auto hasBoard = [&boards](const QString &id) {
        return std::any_of(boards.begin(), boards.end(), [&](const Board &b) { return b.id == id; });
    };
    bool newBoards = false;
    for (const OldCollection &c : old->collections) {
        if (hasBoard(c.id))
            continue;
        Board board;
        board.id = c.id;
        board.name = c.name;
        board.dateCreated = c.dateCreated;
        boards.append(board);
        newBoards = true;
    }
    if (newBoards)
        store.replaceCollections(boards);

    QSet<QString> admitted = contentHashes(store.items());
    QList<Item> added;
    const QString root = store.root();
    for (const nlohmann::json &entry : old->entries) {
        const std::optional<QString> id = oldString(entry, "id");
        const QString listed = id ? old->collectionOfItem.value(*id) : QString();
        const QString target = (!listed.isEmpty() && hasBoard(listed)) ? listed : store.defaultBoardId();
        const std::optional<QString> kind = oldString(entry, "kind");

        if (kind == QLatin1String("link")) {
            ++(importLinkEntry(store, entry, folder, target) ? counts.imported : counts.deduped);
            continue;
        }
        const std::optional<QString> stored = oldString(entry, "storedFilename");
        const std::optional<QString> source =
            stored ? libraryFilePath(folder, QStringLiteral("originals"), *stored) : std::nullopt;
        if (kind != QLatin1String("image") || !source || !QFileInfo(*source).isFile()) {
            ++counts.skipped;
            continue;
        }
        bool alreadyThere = false;
        ContentAdmission admission;
        admission.admit = [&](const QString &hash) {
            if (admitted.contains(hash)) {
                alreadyThere = true;
                return false;
            }
            admitted.insert(hash);
            return true;
        };
        admission.withdraw = [&](const QString &hash) { admitted.remove(hash); };
        std::optional<Item> item = makeItem(root, *source, target, admission, LinkPolicy::Refuse);
        if (!item) {
            ++(alreadyThere ? counts.deduped : counts.skipped);
            continue;
        }
        if (const auto name = oldString(entry, "originalFilename"))
            item->originalFilename = *name;
        if (const auto date = oldNumber(entry, "dateAdded"))
            item->dateAdded = *date;
        if (const auto date = oldNumber(entry, "dateCreated"))
            item->dateCreated = *date;
        if (const auto url = oldString(entry, "sourceURL"))
            item->sourceURL = *url;
        store.appendItems({*item});
        ++counts.imported;
    }

    store.save();
    const QList<Item> &items = store.items();
    if (counts.imported > 0)
        store.indexInSpotlight(items.mid(items.size() - counts.imported));
    return counts;
}

} // namespace vellora
