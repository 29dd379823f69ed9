#include "SystemSearchIndex.h"

#include "library/Item.h"
#include "library/ItemChanges.h"
#include "library/LibraryLocation.h"
#include "library/LibraryStore.h"
#include "library/SafeNames.h"
#include "library/Services.h"
#include "platform/Defaults.h"
#include "platform/Places.h"
#include "platform/Scheduler.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <sys/stat.h>

namespace vellora {

namespace {

QString samePath(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

bool isFile(const QString &path)
{
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 && S_ISREG(info.st_mode);
}

void appendText(QStringList &parts, const std::optional<QString> &text)
{
    if (text && !text->trimmed().isEmpty())
        parts.append(*text);
}

} // namespace

SystemSearchIndex::SystemSearchIndex(const QString &path, Defaults &settings, QObject *parent)
    : QObject(parent), m_path(path), m_settings(&settings)
{
    // One writer, so the calls reach the file in the order they were made.
    m_worker.setMaxThreadCount(1);
}

SystemSearchIndex::~SystemSearchIndex()
{
    m_worker.waitForDone();
}

SystemSearchIndex &SystemSearchIndex::shared()
{
    static auto *index = new SystemSearchIndex(defaultPath(), Defaults::standard());
    return *index;
}

QString SystemSearchIndex::defaultPath()
{
    return applicationSupportFolder() + QStringLiteral("/search-index.sqlite");
}

bool SystemSearchIndex::indexesRoot(const QString &root)
{
    if (root.isEmpty())
        return false;
    return samePath(root) == samePath(LibraryLocation::localURL()) || LibraryLocation::isICloud(root);
}

SearchDocument SystemSearchIndex::document(const Item &item, const QString &root)
{
    SearchDocument d;
    d.id = item.id;
    d.kind = item.kind;
    d.domain = item.host();
    if (item.title && !item.title->trimmed().isEmpty())
        d.title = *item.title;
    else if (item.kind == QLatin1String("link"))
        d.title = !d.domain.isEmpty() ? d.domain : item.sourceURL.value_or(QString());
    else
        d.title = item.originalFilename;

    if (item.summary && !item.summary->trimmed().isEmpty())
        d.description = *item.summary;
    else if (item.insight && !item.insight->summary.trimmed().isEmpty())
        d.description = item.insight->summary;
    else if (item.siteName && !item.siteName->trimmed().isEmpty())
        d.description = *item.siteName;
    else
        d.description = d.domain;

    QStringList keywords = item.tags.value_or(QStringList());
    keywords += item.labels.value_or(QStringList());
    d.keywords = keywords.join(QLatin1Char(' '));

    QStringList content;
    appendText(content, item.ocrText);
    appendText(content, item.pageText);
    if (item.insight) {
        content.append(item.insight->summary);
        content += item.insight->keyPoints;
    }
    d.content = content.join(QLatin1Char('\n'));

    if (const auto cover = libraryFilePath(root, QStringLiteral("covers"), item.thumbnailFilename);
        cover && isFile(*cover))
        d.thumbnail = *cover;
    else if (const auto thumbnail = libraryFilePath(root, QStringLiteral("thumbnails"), item.thumbnailFilename))
        d.thumbnail = *thumbnail;
    return d;
}

void SystemSearchIndex::index(LibraryStore &store, const QList<Item> &items)
{
    if (items.isEmpty())
        return;
    submit(store, {Operation::Upsert, items, {}, store.root()});
}

void SystemSearchIndex::remove(LibraryStore &store, const QStringList &ids)
{
    if (ids.isEmpty())
        return;
    submit(store, {Operation::Remove, {}, ids, store.root()});
}

void SystemSearchIndex::reindexIfNeeded(LibraryStore &store)
{
    if (!indexesRoot(store.root()))
        return;
    follow(store);
    const QString key = QString::fromLatin1(kVersionKey);
    if (m_settings->integer(key, 0) < kVersion) {
        submit(store, {Operation::ReplaceAll, store.activeItems(), {}, store.root()});
        m_settings->set(key, kVersion);
    } else {
        submit(store, {Operation::Reconcile, store.activeItems(), {}, store.root()});
    }
}

void SystemSearchIndex::submit(LibraryStore &store, Job job)
{
    if (!indexesRoot(job.root))
        return;
    m_store = &store;
    m_worker.start([this, job = std::move(job)] { run(job); });
}

void SystemSearchIndex::waitForIdle()
{
    flushChanges();
    m_worker.waitForDone();
}

void SystemSearchIndex::follow(LibraryStore &store)
{
    if (m_followed == &store)
        return;
    if (m_followed)
        disconnect(m_followed, nullptr, this, nullptr);
    m_followed = &store;
    m_changed.clear();
    m_everything = false;
    // An edit names its records just before the list changes; a change of
    // the list without that may have touched any record.
    connect(&store, &LibraryStore::itemsEdited, this, [this](const ItemChanges &changes) {
        m_edited = true;
        gather(changes.added + changes.changed);
    });
    connect(&store, &LibraryStore::itemsChanged, this, [this] {
        if (std::exchange(m_edited, false))
            return;
        m_everything = true;
        gather({});
    });
    connect(&store, &LibraryStore::rootChanged, this, [this] {
        // Another folder: its own load decides what is indexed.
        m_changed.clear();
        m_everything = false;
    });
}

void SystemSearchIndex::gather(const QStringList &ids)
{
    for (const QString &id : ids)
        m_changed.insert(id);
    if (m_flushPosted)
        return;
    m_flushPosted = true;
    QPointer<SystemSearchIndex> self(this);
    Scheduler::main().postAfter(kBatchDelay, [self] {
        if (self)
            self->flushChanges();
    });
}

void SystemSearchIndex::flushChanges()
{
    m_flushPosted = false;
    if (!m_followed || (m_changed.isEmpty() && !m_everything))
        return;
    LibraryStore &store = *m_followed;
    if (!store.loaded() || !indexesRoot(store.root())) {
        m_changed.clear();
        m_everything = false;
        return;
    }
    if (std::exchange(m_everything, false)) {
        m_changed.clear();
        submit(store, {Operation::Reconcile, store.activeItems(), {}, store.root()});
        return;
    }
    // Items in the trash left the index when they went there.
    QList<Item> items;
    for (const Item &item : store.items())
        if (m_changed.contains(item.id) && !item.trashedAt)
            items.append(item);
    m_changed.clear();
    if (!items.isEmpty())
        submit(store, {Operation::Upsert, items, {}, store.root()});
}

void SystemSearchIndex::setErrorOutput(std::function<void(const QString &)> output)
{
    std::lock_guard guard(m_outputLock);
    m_output = std::move(output);
}

void SystemSearchIndex::report(const QString &message)
{
    const QString line = QStringLiteral("spotlight: ") + message;
    std::lock_guard guard(m_outputLock);
    if (m_output) {
        m_output(line);
        return;
    }
    std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
}

bool SystemSearchIndex::discardAndReopen()
{
    if (m_index)
        m_index->close();
    for (const char *suffix : {"", "-wal", "-shm", "-journal"})
        QFile::remove(m_path + QLatin1String(suffix));
    m_index = std::make_unique<SearchIndex>(m_path, SearchIndex::Access::ReadWrite);
    const SearchIndexStatus opened = m_index->open();
    if (!opened.ok)
        report(opened.message);
    return opened.ok;
}

bool SystemSearchIndex::ensureOpen(bool *rebuild)
{
    *rebuild = false;
    if (m_index && m_index->isOpen() && !m_index->fileReplaced())
        return true;
    // Someone removed or replaced the file under us, or this is the first
    // write: either way what is there now may lack the library.
    const bool existed = QFileInfo::exists(m_path);
    const bool wasOpen = m_index && m_index->isOpen();
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    m_index = std::make_unique<SearchIndex>(m_path, SearchIndex::Access::ReadWrite);
    const SearchIndexStatus opened = m_index->open();
    if (opened.ok) {
        *rebuild = !existed || wasOpen;
        return true;
    }
    if (!opened.damaged) {
        report(opened.message);
        return false;
    }
    *rebuild = true;
    return discardAndReopen();
}

void SystemSearchIndex::run(const Job &job)
{
    bool rebuild = false;
    if (!ensureOpen(&rebuild))
        return;

    QList<SearchDocument> documents;
    for (const Item &item : job.items) {
        // The id becomes the key and the item's address (vellora://item/<id>).
        if (isSafePathComponent(item.id))
            documents.append(document(item, job.root));
    }
    const bool complete = job.operation == Operation::ReplaceAll || job.operation == Operation::Reconcile;
    const auto apply = [&]() -> SearchIndexStatus {
        switch (job.operation) {
        case Operation::Upsert:
            return m_index->upsert(documents);
        case Operation::Remove:
            return m_index->remove(job.ids);
        case Operation::ReplaceAll:
            return m_index->replaceAll(documents);
        case Operation::Reconcile:
            return m_index->reconcile(documents);
        }
        return {};
    };

    SearchIndexStatus result = apply();
    if (!result.ok && result.damaged) {
        if (!discardAndReopen())
            return;
        rebuild = true;
        result = apply();
    }
    if (!result.ok)
        report(result.message);
    if (rebuild && !complete && !m_rebuildRequested.exchange(true)) {
        QPointer<SystemSearchIndex> self(this);
        Scheduler::main().post([self] {
            if (self)
                self->rebuildFromLibrary();
        });
    }
}

void SystemSearchIndex::rebuildFromLibrary()
{
    m_rebuildRequested = false;
    if (!m_store || !indexesRoot(m_store->root()))
        return;
    LibraryStore &store = *m_store;
    submit(store, {Operation::ReplaceAll, store.activeItems(), {}, store.root()});
}

void installSearchIndexServices()
{
    LibraryServices &services = LibraryServices::installed();
    services.indexInSpotlight = [](LibraryStore &store, const QList<Item> &items) {
        SystemSearchIndex::shared().index(store, items);
    };
    services.removeFromSpotlight = [](LibraryStore &store, const QStringList &ids) {
        SystemSearchIndex::shared().remove(store, ids);
    };
    services.reindexSpotlightIfNeeded = [](LibraryStore &store) {
        SystemSearchIndex::shared().reindexIfNeeded(store);
    };
}

} // namespace vellora
