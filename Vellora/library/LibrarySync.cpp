#include "LibrarySync.h"

#include "platform/FilePresenter.h"
#include "platform/FolderWatcher.h"
#include "platform/MetadataQuery.h"
#include "platform/Scheduler.h"

#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QThreadPool>

namespace vellora {

namespace {
const QString kClaimInfixText = QString::fromLatin1(kClaimInfix);

bool isCurrent(const MetadataItem &item) { return item.status == MetadataItem::Download::Current; }

QString parentName(const QString &path) { return QFileInfo(QFileInfo(path).absolutePath()).fileName(); }

// Scans run on a pool of their own, of low priority, like the other
// background chores; one thread is enough, since scans never overlap.
QThreadPool &utilityPool()
{
    static QThreadPool *pool = [] {
        auto *p = new QThreadPool;
        p->setMaxThreadCount(1);
        p->setThreadPriority(QThread::LowPriority);
        return p;
    }();
    return *pool;
}
} // namespace

LibrarySync::LibrarySync(QObject *parent)
    : QObject(parent), m_presenter(new FilePresenter(this)), m_watcher(new FolderWatcher(this))
{
    m_queryFactory = [](const QString &) -> std::unique_ptr<MetadataQuery> {
        return std::make_unique<PlainFolderMetadataQuery>();
    };
    connect(m_presenter, &FilePresenter::presentedItemDidChange, this, &LibrarySync::presentedItemDidChange);
    connect(m_watcher, &FolderWatcher::changed, this,
            [this](const QString &name, FolderWatcher::Events) { onDropsEvent(name); });
}

LibrarySync::~LibrarySync()
{
    if (m_pendingIngest)
        Scheduler::main().cancel(m_pendingIngest);
}

LibrarySync &LibrarySync::shared()
{
    static LibrarySync *instance = new LibrarySync;
    return *instance;
}

void LibrarySync::setQueryFactory(QueryFactory factory) { m_queryFactory = std::move(factory); }

void LibrarySync::start(std::shared_ptr<SyncedLibrary> library)
{
    m_presenter->stop();
    if (m_pendingIngest) {
        Scheduler::main().cancel(m_pendingIngest);
        m_pendingIngest = 0;
    }
    m_library = std::move(library);
    ++m_generation;
    if (!m_library)
        return;

    const QString root = m_library->root();
    m_presenter->present(QDir::cleanPath(QDir(root).absoluteFilePath(QStringLiteral("library.json"))));

    // One collection-sharing sync per start; the start does not wait for it.
    std::weak_ptr<SyncedLibrary> weak = m_library;
    m_library->syncSharing([weak] {
        if (auto library = weak.lock(); library && library->alive())
            library->markSynced();
    });

    if (m_query) {
        m_query->stop();
        m_query.reset();
    }

    startWatcher(m_library->dropsDirectory());

    if (m_library->isCloudLibrary() && m_queryFactory) {
        m_query = m_queryFactory(root);
        if (m_query) {
            connect(m_query.get(), &MetadataQuery::updated, this, &LibrarySync::updated);
            connect(m_query.get(), &MetadataQuery::gatheringFinished, this, &LibrarySync::gathered);
            m_query->start();
        }
    }
}

void LibrarySync::stop()
{
    m_presenter->stop();
    m_watcher->stop();
    if (m_query) {
        m_query->stop();
        m_query.reset();
    }
    if (m_pendingIngest) {
        Scheduler::main().cancel(m_pendingIngest);
        m_pendingIngest = 0;
    }
    m_library.reset();
    ++m_generation;
}

QString LibrarySync::presentedPath() const { return m_presenter->presentedPath(); }

bool LibrarySync::isWatchingDrops() const { return m_watcher->isWatching(); }

void LibrarySync::startWatcher(const QString &folder)
{
    m_watcher->stop();
    QDir().mkpath(folder);
    // Without a watch the scans still come from the window's triggers.
    if (!m_watcher->watch(folder))
        return;
    // Drops that arrived while nobody was watching.
    scheduleIngest();
}

void LibrarySync::onDropsEvent(const QString &name)
{
    // Our own claims and their removal, and the hidden temporary files of
    // sync clients, are no new drops: a drop shows itself by its own name.
    if (name.startsWith(QLatin1Char('.')) || name.contains(kClaimInfixText))
        return;
    scheduleIngest();
}

void LibrarySync::scheduleIngest() { scheduleIngestAfter(kIngestDelay); }

void LibrarySync::scheduleIngestAfter(double seconds)
{
    if (m_pendingIngest)
        Scheduler::main().cancel(m_pendingIngest);
    QPointer<LibrarySync> self(this);
    const quint64 generation = m_generation;
    m_pendingIngest = Scheduler::main().postAfter(seconds, [self, generation] {
        if (!self || self->m_generation != generation)
            return;
        self->m_pendingIngest = 0;
        self->ingestDrops();
    });
}

void LibrarySync::ingestDrops()
{
    if (!m_library || !m_library->alive())
        return;
    if (!m_library->isLoaded() || m_library->importing() != 0) {
        // Tried again in a second, for as long as the load or the import runs.
        scheduleIngest();
        return;
    }
    m_library->beginImport();
    DropsScanRequest request;
    request.folder = m_library->dropsDirectory();
    request.boardId = m_library->defaultBoardId();
    request.claimMarker = dropsClaimMarker();

    std::shared_ptr<SyncedLibrary> library = m_library;
    QPointer<LibrarySync> self(this);
    const quint64 generation = m_generation;
    emit ingestStarted();
    utilityPool().start([library, request, self, generation] {
        vellora::ingestDrops(request, library->drops(), [library, self, generation](const DropsScanReport &report) {
            if (!self)
                return;
            emit self->ingestFinished(report);
            // Drops still being written, or waiting for another try, are
            // taken by a scan of their own once their time has come.
            if (report.retryAfter >= 0 && self->m_generation == generation && !self->m_pendingIngest)
                self->scheduleIngestAfter(std::max(kIngestDelay, report.retryAfter + 0.1));
        });
    });
}

void LibrarySync::presentedItemDidChange()
{
    // One reload for a burst of events (a save renames, closes and so on).
    if (m_reloadPosted)
        return;
    m_reloadPosted = true;
    QPointer<LibrarySync> self(this);
    Scheduler::main().post([self] {
        if (!self)
            return;
        self->m_reloadPosted = false;
        if (self->m_library && self->m_library->alive())
            self->m_library->reload();
    });
}

void LibrarySync::handleDrops(const QList<MetadataItem> &items)
{
    if (!m_library || !m_library->alive())
        return;
    bool present = false;
    for (const MetadataItem &item : items) {
        if (item.path.isEmpty() || parentName(item.path) != QLatin1String("Drops"))
            continue;
        if (isCurrent(item))
            present = true;
        else
            m_library->startDownloading(item.path);
    }
    if (present) {
        QPointer<LibrarySync> self(this);
        Scheduler::main().post([self] {
            if (self)
                self->scheduleIngest();
        });
    }
}

void LibrarySync::gathered()
{
    if (!m_query)
        return;
    m_query->disableUpdates();
    const QList<MetadataItem> results = m_query->results();
    handleDrops(results);
    m_query->enableUpdates();
}

void LibrarySync::updated(const QList<MetadataItem> &added, const QList<MetadataItem> &changed)
{
    if (!m_library || !m_library->alive())
        return;
    const QList<MetadataItem> items = added + changed;
    handleDrops(items);
    bool reloadNeeded = false;
    for (const MetadataItem &item : items) {
        if (item.path.isEmpty())
            continue;
        const bool isLibraryFile = QFileInfo(item.path).fileName() == QLatin1String("library.json");
        const bool isThumbnail = parentName(item.path) == QLatin1String("thumbnails");
        if (!isLibraryFile && !isThumbnail)
            continue;
        if (!isCurrent(item)) {
            m_library->startDownloading(item.path);
        } else if (isLibraryFile) {
            reloadNeeded = true;
        } else if (m_library->pendingDownloads() >= 1) {
            std::weak_ptr<SyncedLibrary> weak = m_library;
            Scheduler::main().post([weak] {
                auto library = weak.lock();
                // Counted when it runs: two thumbnails queued against a count
                // of one lower it once and record the sync time once.
                if (!library || !library->alive() || library->pendingDownloads() < 1)
                    return;
                const int left = library->pendingDownloads() - 1;
                library->setPendingDownloads(left);
                if (left == 0)
                    library->markSynced();
            });
        }
    }
    if (reloadNeeded)
        m_library->reload();
}

} // namespace vellora
