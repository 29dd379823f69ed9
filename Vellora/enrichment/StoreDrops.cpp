#include "StoreDrops.h"

#include "LinkPipeline.h"

#include "library/LibraryFileAccess.h"
#include "library/LibraryLocation.h"
#include "library/LibraryStore.h"
#include "library/LibraryStoreMedia.h"
#include "library/Services.h"
#include "platform/Digest.h"
#include "platform/FileCoordination.h"
#include "platform/ImageIO.h"
#include "platform/Ubiquity.h"

#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QThread>
#include <QThreadPool>

namespace vellora {

namespace {

class StoreLibrary final : public SyncedLibrary, public DropsLibrary {
public:
    explicit StoreLibrary(LibraryStore &store) : m_store(&store) {}

    // --- SyncedLibrary (main thread) ---
    bool alive() const override { return !m_store.isNull(); }
    QString root() const override { return m_store->root(); }
    bool isCloudLibrary() const override { return LibraryLocation::isICloud(m_store->root()); }
    QString dropsDirectory() const override { return vellora::dropsDirectory(*m_store); }
    QString defaultBoardId() const override { return m_store->defaultBoardId(); }
    bool isLoaded() const override { return m_store->loaded(); }
    int importing() const override { return m_store->importing(); }
    void beginImport() override { m_store->beginImport(); }
    int pendingDownloads() const override { return m_store->pendingDownloads(); }
    void setPendingDownloads(int count) override { m_store->setPendingDownloads(count); }
    void reload() override { m_store->reload(); }
    void markSynced() override { m_store->markSynced(); }
    void startDownloading(const QString &path) override { Ubiquity::current().startDownloading(path); }
    void syncSharing(std::function<void()> done) override
    {
        if (auto &sync = LibraryServices::installed().syncCollections)
            sync(*m_store, std::move(done));
        else if (done)
            done();
    }
    DropsLibrary &drops() override { return *this; }

    // --- DropsLibrary ---
    // Worker thread.
    DropImport importPicture(const QString &stagedPath, const QString &boardId) override
    {
        // The staged copy is ours; its bytes are read by the import alone,
        // never whole a second time here.
        const QFileInfo staged(stagedPath);
        if (!staged.exists())
            return DropImport::Failed;
        if (staged.size() == 0)
            return DropImport::Empty;
        LibraryStore *store = m_store.data();
        if (!store)
            return DropImport::Failed;
        const ImportReport report = addFilesReporting(*store, {stagedPath}, boardId);
        if (report.added == 1)
            return DropImport::Imported;
        if (report.duplicates == 1)
            return DropImport::Duplicate;
        if (!report.writeError.isEmpty())
            return DropImport::Failed;
        return DropImport::NotAPicture;
    }
    bool ensureDownloaded(const QString &path) override { return vellora::ensureDownloaded(path).has_value(); }

    // Main thread.
    QString addLink(const QString &url, const QString &boardId) override
    {
        return m_store ? vellora::addLink(*m_store, url, boardId) : QString();
    }
    void fetchLinkMetadata(const QString &itemId, std::function<void()> done) override
    {
        if (m_store && !itemId.isEmpty())
            vellora::fetchLinkMetadata(*m_store, itemId, std::move(done));
        else if (done)
            done();
    }
    void endImport() override
    {
        if (m_store)
            m_store->endImport();
    }
    void commit(std::function<void(bool)> done) override
    {
        if (m_store)
            m_store->saveSoon(std::move(done));
        else
            done(false);
    }

private:
    QPointer<LibraryStore> m_store;
};

QThreadPool &scanPool()
{
    static QThreadPool *pool = [] {
        auto *p = new QThreadPool;
        p->setMaxThreadCount(2);
        p->setThreadPriority(QThread::LowPriority);
        return p;
    }();
    return *pool;
}

} // namespace

QString dropsDirectory(const LibraryStore &store)
{
    const bool fromEnvironment = !qgetenv("VELLORA_ROOT").isEmpty();
    return dropsDirectoryFor(store.root(), LibraryLocation::iCloudContainerURL(), fromEnvironment);
}

std::shared_ptr<SyncedLibrary> syncedLibrary(LibraryStore &store) { return std::make_shared<StoreLibrary>(store); }

void startDropsScan(LibraryStore &store, std::function<void(const DropsScanReport &)> completion)
{
    store.beginImport();
    auto library = std::make_shared<StoreLibrary>(store);
    DropsScanRequest request;
    request.folder = dropsDirectory(store);
    request.boardId = store.defaultBoardId();
    request.claimMarker = dropsClaimMarker();
    scanPool().start([library, request, completion = std::move(completion)] {
        ingestDrops(request, *library, [library, completion](const DropsScanReport &report) {
            if (completion)
                completion(report);
        });
    });
}

void keepAsDrops(const LibraryStore &store, const QStringList &files, const QStringList &links, QObject *context,
                 std::function<void(const UnkeptDrops &)> done)
{
    const QString folder = dropsDirectory(store);
    QPointer<QObject> receiver(context);
    scanPool().start([folder, files, links, receiver, done = std::move(done)] {
        UnkeptDrops unkept;
        for (const QString &file : files) {
            QString why;
            if (!keepPictureAsDrop(folder, file, &why)) {
                unkept.files << file;
                unkept.reasons << why;
            }
        }
        for (const QString &link : links) {
            QString why;
            if (!keepLinkAsDrop(folder, link, &why)) {
                unkept.links << link;
                unkept.reasons << why;
            }
        }
        if (!receiver)
            return;
        QMetaObject::invokeMethod(receiver.data(), [receiver, done, unkept] {
            if (receiver && done)
                done(unkept);
        }, Qt::QueuedConnection);
    });
}

void installChangeTracking()
{
    LibraryServices::installed().startSync = [](LibraryStore &store) {
        LibrarySync::shared().start(syncedLibrary(store));
    };
}

IngestDrops::IngestDrops(LibraryStore &store, QObject *parent) : QObject(parent), m_store(&store)
{
    if (auto *app = qobject_cast<QGuiApplication *>(QCoreApplication::instance())) {
        connect(app, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState state) {
            if (state == Qt::ApplicationActive)
                applicationBecameActive();
        });
    }
}

void IngestDrops::windowShown() { trigger(); }

void IngestDrops::applicationBecameActive() { trigger(); }

void IngestDrops::trigger()
{
    if (!m_store)
        return;
    QPointer<IngestDrops> self(this);
    m_store->waitUntilLoaded([self](bool loaded) {
        if (!self || !self->m_store || !loaded || self->m_store->importing() != 0)
            return;
        startDropsScan(*self->m_store, [self](const DropsScanReport &report) {
            if (self)
                emit self->scanFinished(report);
        });
    });
}

} // namespace vellora
