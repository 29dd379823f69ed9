#include "LinkPipeline.h"

#include "enrichment/Analyzer.h"
#include "enrichment/LanguageFeatures.h"
#include "enrichment/LinkCover.h"
#include "enrichment/LinkMetadata.h"
#include "enrichment/PageSnapshotter.h"
#include "library/LibraryStore.h"
#include "library/LinkParser.h"
#include "library/Media.h"
#include "platform/AtomicFile.h"
#include "platform/Clock.h"
#include "platform/Defaults.h"
#include "platform/ImageIO.h"
#include "platform/LanguageModel.h"
#include "platform/Uuid.h"
#include "platform/WebAddress.h"

#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QTimer>

namespace vellora {

namespace {

void later(std::function<void()> fn)
{
    QTimer::singleShot(0, std::move(fn));
}

bool parses(const QString &address)
{
    return !address.isEmpty() && WebAddress::parse(address).has_value();
}

std::optional<QString> nonEmpty(const std::optional<QString> &text)
{
    if (text && !text->isEmpty())
        return text;
    return std::nullopt;
}

// One run of the pipeline for one item. Owns itself: it is deleted once its
// `done` has been called.
class LinkRun : public QObject {
public:
    LinkRun(LibraryStore &store, QString id, std::function<void()> done)
        : m_store(&store), m_root(store.root()), m_id(std::move(id)), m_done(std::move(done)),
          m_fetcher(new LinkMetadataFetcher({}, this))
    {
    }

    void start()
    {
        const auto item = m_store->item(m_id);
        if (!item) {
            end();
            return;
        }
        m_before = *item;
        m_url = item->sourceURL.value_or(QString());
        if (!parses(m_url)) {
            end();
            return;
        }
        const auto &cameFromOthers = LinkPipelineServices::installed().cameFromOthers;
        if (cameFromOthers && cameFromOthers(*m_store, m_id)) {
            // Someone else chose this address: it must not make this machine
            // ask itself or its local network for anything, not through a
            // redirect, a name that answers differently the second time, an
            // icon, a preview image or what the page itself loads.
            m_policy = AddressPolicy::publicOnly();
            m_fetcher->setAddressPolicy(m_policy);
            if (!m_policy.mayAskHost(QUrl(m_url).host())) {
                end();
                return;
            }
        }
        run();
    }

private:
    void run()
    {
        // Until the run has stored its results the item counts as not enriched.
        m_store->updateItem(m_id, [](Item &it) { it.snapshotDate.reset(); });
        m_store->scheduleSave();

        // One download of the page serves every fact of the link: the
        // metadata is read from it and the snapshot shows and reads the same
        // bytes (and never another page the first one would lead to), so
        // title, picture, summary and text all come from the first page the
        // address led to, after its HTTP redirects.
        m_fetcher->fetchPage(m_url, [this](std::optional<FetchedPage> page) {
            m_fetched = std::move(page);
            // An item from someone else keeps the facts that came with it
            // unless its page could be had: no cover, title or insight is
            // made up in their place.
            if (!m_fetched && m_policy.restricted()) {
                stopEarly();
                return;
            }
            if (m_fetched)
                m_metadata = LinkMetadataFetcher::metadataOf(*m_fetched);
            if (m_metadata && !m_metadata->iconCandidates.isEmpty())
                m_fetcher->loadIcon(m_metadata->iconCandidates, [this](std::optional<QImage> icon) {
                    m_icon = std::move(icon);
                    writeFavicon();
                    takeSnapshot();
                });
            else
                takeSnapshot();
        });
    }

    bool alive() const { return m_store && m_store->root() == m_root; }
    bool present() const { return alive() && m_store->item(m_id).has_value(); }

    void writeFavicon()
    {
        if (!m_icon || m_icon->isNull() || !alive())
            return;
        const QString name = m_id + QStringLiteral(".png");
        const QString path = faviconPath(m_root, name);
        if (path.isEmpty())
            return;
        QDir().mkpath(QFileInfo(path).absolutePath());
        const QByteArray png = encodePNG(*m_icon);
        if (png.isEmpty())
            return;
        try {
            writeFileAtomically(path, png, Durability::Synced);
        } catch (const FileError &) {
            return; // the link is kept without its favicon
        }
        m_faviconName = name;
        m_written.append(path);
    }

    void takeSnapshot()
    {
        if (!m_fetched) {
            // No page came: there is nothing to show, and nothing else to
            // read the link's facts from.
            QTimer::singleShot(0, this, [this] { chooseImage(); });
            return;
        }
        m_snapshot = makePageSnapshotRun();
        m_snapshot->setAddressPolicy(m_policy);
        m_snapshot->render(*m_fetched, [this](PageSnapshotResult page) {
            m_page = std::move(page);
            // The snapshot is still on its own call stack: let it go later.
            if (PageSnapshotRun *finished = m_snapshot.release())
                later([finished] { delete finished; });
            chooseImage();
        });
    }

    void chooseImage()
    {
        const QString host = m_before.host();
        if (auto title = m_metadata ? nonEmpty(m_metadata->title) : std::nullopt)
            m_runTitle = title;
        else if (auto title = nonEmpty(m_page.title))
            m_runTitle = title;
        // A run that learnt no title keeps the one the item has.
        m_title = m_runTitle ? *m_runTitle : nonEmpty(m_before.title).value_or(host);

        if (m_page.image && !m_page.image->isNull()) {
            storeImage(*m_page.image, ImageSource::Page);
            return;
        }
        m_fetcher->loadPreviewImage(m_metadata, [this, host](std::optional<QImage> preview) {
            if (preview && !preview->isNull()) {
                storeImage(*preview, ImageSource::Preview);
                return;
            }
            // A drawn card stands in only for a missing picture; an item that
            // already has one keeps it.
            if (alive() && QFileInfo::exists(originalPath(m_root, m_before.storedFilename))) {
                m_imageKept = true;
                describe();
                return;
            }
            const auto cover = renderLinkCover(m_title, host, m_icon);
            if (!cover) {
                stopEarly();
                return;
            }
            storeImage(*cover, ImageSource::Cover);
        });
    }

    enum class ImageSource { Page, Preview, Cover };

    void storeImage(const QImage &image, ImageSource source)
    {
        if (!present()) {
            stopEarly();
            return;
        }
        const auto current = m_store->item(m_id);
        const auto stored = vellora::storeImage(m_root, image, *current);
        if (!stored) {
            stopEarly();
            return;
        }
        m_stored = stored;
        m_source = source;
        for (const QString &path : {originalPath(m_root, current->storedFilename),
                                    thumbnailPath(m_root, current->thumbnailFilename),
                                    coverPath(m_root, current->thumbnailFilename)})
            if (!path.isEmpty())
                m_written.append(path);
        describe();
    }

    void describe()
    {
        auto &services = LinkPipelineServices::installed();
        auto answered = [this](std::optional<LinkInsight> insight) {
            m_insight = std::move(insight);
            write();
        };
        if (services.describeLink)
            services.describeLink(m_title, m_url, m_page.text.value_or(QString()), std::move(answered));
        else
            later([answered] { answered(std::nullopt); });
    }

    void write()
    {
        auto &services = LinkPipelineServices::installed();
        // The picture changed, so what was derived from it is recomputed.
        if (m_stored && services.dropFeaturePrint && alive())
            services.dropFeaturePrint(*m_store, m_id);

        if (present()) {
            const bool pageAnswered = m_page.image || m_page.title || m_page.summary || m_page.siteName || m_page.text;
            const QString host = m_before.host();
            const bool pagePicture = m_stored && m_source == ImageSource::Page;
            const bool neverEnriched = !m_before.snapshotDate.has_value();
            const double runTime = now();
            m_store->updateItem(m_id, [&](Item &it) {
                if (m_runTitle)
                    it.title = m_runTitle;
                else if (!nonEmpty(it.title))
                    it.title = host.isEmpty() ? std::nullopt : std::optional<QString>(host);
                if (pageAnswered) {
                    it.summary = m_page.summary;
                    it.siteName = m_page.siteName;
                    it.pageText = m_page.text;
                }
                if (m_faviconName)
                    it.faviconFilename = m_faviconName;
                if (m_insight)
                    it.insight = m_insight;
                if (m_stored) {
                    it.pixelWidth = m_stored->pixelWidth;
                    it.pixelHeight = m_stored->pixelHeight;
                    it.fileSize = m_stored->fileSize;
                    it.labels.reset();
                    it.ocrText.reset();
                    it.palette.reset();
                }
                if (pagePicture || neverEnriched)
                    it.snapshotDate = runTime;
                else if (!it.snapshotDate)
                    it.snapshotDate = m_before.snapshotDate;
            });
            m_store->scheduleSave();
            if (const auto item = m_store->item(m_id))
                m_store->indexInSpotlight({*item});
        } else {
            removeWrittenFiles();
        }
        if (services.scheduleAnalysis && alive())
            services.scheduleAnalysis(*m_store);
        end();
    }

    // Ends a run that stored nothing: the item gets back the state marker
    // of its earlier run.
    void stopEarly()
    {
        if (present()) {
            const auto before = m_before.snapshotDate;
            if (before)
                m_store->updateItem(m_id, [&](Item &it) {
                    if (!it.snapshotDate)
                        it.snapshotDate = before;
                });
            m_store->scheduleSave();
        } else {
            // Deleted meanwhile: its files and its print go, and the analyzer
            // forgets it.
            removeWrittenFiles();
            auto &services = LinkPipelineServices::installed();
            if (alive()) {
                if (services.dropFeaturePrint)
                    services.dropFeaturePrint(*m_store, m_id);
                if (services.scheduleAnalysis)
                    services.scheduleAnalysis(*m_store);
            }
        }
        end();
    }

    void removeWrittenFiles()
    {
        // Only when the store still works on this folder: the item is gone
        // from it, so nothing refers to these files any more.
        if (!alive())
            return;
        for (const QString &path : std::as_const(m_written))
            QFile::remove(path);
        m_written.clear();
    }

    void end()
    {
        auto done = std::move(m_done);
        m_done = nullptr;
        deleteLater();
        if (done)
            done();
    }

    QPointer<LibraryStore> m_store;
    QString m_root;
    QString m_id;
    std::function<void()> m_done;
    LinkMetadataFetcher *m_fetcher;
    AddressPolicy m_policy = AddressPolicy::anyHost();
    std::unique_ptr<PageSnapshotRun> m_snapshot;

    Item m_before;
    QString m_url;
    std::optional<FetchedPage> m_fetched;
    std::optional<LinkMetadata> m_metadata;
    std::optional<QImage> m_icon;
    std::optional<QString> m_faviconName;
    PageSnapshotResult m_page;
    std::optional<QString> m_runTitle;
    QString m_title;
    std::optional<StoredImage> m_stored;
    ImageSource m_source = ImageSource::Cover;
    bool m_imageKept = false;
    std::optional<LinkInsight> m_insight;
    QStringList m_written;
};

void refreshNext(QPointer<LibraryStore> store, QStringList ids, std::function<void()> done)
{
    if (!store || ids.isEmpty()) {
        if (done)
            later(std::move(done));
        return;
    }
    const QString id = ids.takeFirst();
    fetchLinkMetadata(*store, id, [store, ids = std::move(ids), done = std::move(done)]() mutable {
        refreshNext(store, std::move(ids), std::move(done));
    });
}

} // namespace

LinkPipelineServices &LinkPipelineServices::installed()
{
    static LinkPipelineServices services = [] {
        LinkPipelineServices s;
        s.describeLink = [](const QString &title, const QString &url, const QString &pageText, InsightDone done) {
            vellora::describeLink(title, url, pageText, std::move(done));
        };
        s.openURL = [](const QUrl &url) { QDesktopServices::openUrl(url); };
        return s;
    }();
    return services;
}

void installLinkPipelineServices()
{
    auto &services = LinkPipelineServices::installed();
    LibraryStore *shared = &LibraryStore::shared();
    services.dropFeaturePrint = [shared](LibraryStore &store, const QString &id) {
        if (&store == shared)
            Analyzer::shared().dropPrint(id);
    };
    services.scheduleAnalysis = [shared](LibraryStore &store) {
        if (&store == shared)
            Analyzer::shared().schedule();
    };
}

QString addLink(LibraryStore &store, const QString &url, const QString &collectionId)
{
    for (const Item &item : store.items())
        if (item.kind == QLatin1String("link") && item.sourceURL && *item.sourceURL == url)
            return item.id;

    Item item;
    item.id = newUUIDString();
    item.kind = QStringLiteral("link");
    const auto address = WebAddress::parse(url);
    item.originalFilename = address && address->hasAuthority && !address->host.isEmpty() ? address->host : url;
    item.storedFilename = item.id + QStringLiteral(".png");
    item.thumbnailFilename = item.id + QStringLiteral(".jpg");
    item.pixelWidth = kLinkCoverWidth;
    item.pixelHeight = kLinkCoverHeight;
    item.contentHash = QStringLiteral("link:") + url;
    item.dateAdded = now();
    item.dateCreated = item.dateAdded;
    item.collectionIds = {collectionId};
    item.sourceURL = url;
    store.appendItems({item});
    store.scheduleSave();
    return item.id;
}

void fetchLinkMetadata(LibraryStore &store, const QString &id, std::function<void()> done)
{
    auto *run = new LinkRun(store, id, [done = std::move(done)] {
        if (done)
            done();
    });
    // Started from the event loop so that `done` never runs inside this call.
    QPointer<LinkRun> guard(run);
    later([guard] {
        if (guard)
            guard->start();
    });
}

QStringList linksToRefresh(const LibraryStore &store)
{
    QStringList ids;
    const auto &cameFromOthers = LinkPipelineServices::installed().cameFromOthers;
    for (const Item &item : store.items())
        if (item.kind == QLatin1String("link") && (!item.pageText || !item.snapshotDate)
            && !(cameFromOthers && cameFromOthers(store, item.id)))
            ids.append(item.id);
    return ids;
}

void refreshLinkMetadata(LibraryStore &store, std::function<void()> done)
{
    refreshNext(QPointer<LibraryStore>(&store), linksToRefresh(store), std::move(done));
}

void refreshLinksWhenLoaded(LibraryStore &store, std::function<void()> done)
{
    QPointer<LibraryStore> guard(&store);
    store.waitUntilLoaded([guard, done = std::move(done)](bool loaded) mutable {
        if (!guard || !loaded) {
            if (done)
                later(std::move(done));
            return;
        }
        refreshLinkMetadata(*guard, std::move(done));
    });
}

void openLink(LibraryStore &store, const Item &item)
{
    const QString address = item.sourceURL.value_or(QString());
    if (!parses(address))
        return;
    if (const auto &open = LinkPipelineServices::installed().openURL)
        open(QUrl(address));
    store.markOpened(item.id);
}

void generateLinkInsight(LibraryStore &store, const QString &id, std::function<void()> done)
{
    auto finish = [done = std::move(done)] {
        if (done)
            done();
    };
    const auto item = store.item(id);
    if (!item) {
        later(finish);
        return;
    }
    QString title;
    if (auto t = nonEmpty(item->title)) {
        title = *t;
    } else {
        title = item->originalFilename;
        const qsizetype dot = title.lastIndexOf(u'.');
        if (dot > 0)
            title.truncate(dot);
    }
    QPointer<LibraryStore> guard(&store);
    const QString root = store.root();
    auto answered = [guard, root, id, finish](std::optional<LinkInsight> insight) {
        if (insight && guard && guard->root() == root) {
            const bool changed = guard->updateItem(id, [&](Item &it) {
                it.insight = insight;
                it.tags = mergeTags(it.tags.value_or(QStringList()), insight->suggestedTags);
            });
            if (changed)
                guard->scheduleSave();
        }
        finish();
    };
    const auto &describe = LinkPipelineServices::installed().describeLink;
    if (!describe) {
        later([answered] { answered(std::nullopt); });
        return;
    }
    describe(title, item->sourceURL.value_or(QString()), item->pageText.value_or(QString()), std::move(answered));
}

QStringList linksWithoutInsight(const LibraryStore &store)
{
    QStringList ids;
    for (const Item &item : store.items())
        if (item.kind == QLatin1String("link") && !item.trashedAt && !item.insight && item.pageText
            && !item.pageText->isEmpty())
            ids.append(item.id);
    return ids;
}

InsightBackfill::InsightBackfill(LibraryStore &store) : QObject(&store), m_store(store), m_wake(new QTimer(this))
{
    m_wake->setSingleShot(true);
    connect(m_wake, &QTimer::timeout, this, &InsightBackfill::runPass);
}

void InsightBackfill::start()
{
    if (std::exchange(m_started, true))
        return;
    QPointer<InsightBackfill> self(this);
    m_store.waitUntilLoaded([self](bool loaded) {
        if (!self || !loaded)
            return;
        // Another model, or another name for it: every item may be asked again.
        connect(&Defaults::standard(), &Defaults::changed, self, [self](const QString &key) {
            if (key == QLatin1String(kLanguageModelURLKey) || key == QLatin1String(kLanguageModelNameKey)) {
                self->m_asked.clear();
                self->runPass();
            }
        });
        connect(static_cast<LanguageModelRests *>(&LanguageModel::restSignals()), &LanguageModelRests::changed, self,
                [self] {
                    if (LanguageModel::systemDefault().isAvailable())
                        self->runPass();
                });
        // Whatever needs describing after the load's own link refresh
        // filled in page texts is found by later passes.
        connect(&self->m_store, &LibraryStore::itemsChanged, self, [self] {
            if (!self->m_running && LanguageModel::systemDefault().isAvailable())
                self->m_wake->start(1000);
        });
        self->runPass();
    });
}

void InsightBackfill::runPass()
{
    if (m_running)
        return;
    if (!LanguageModel::systemDefault().isAvailable()) {
        wakeAfterRest();
        return;
    }
    m_running = true;
    next();
}

void InsightBackfill::next()
{
    const LanguageModel model = LanguageModel::systemDefault();
    if (!model.isAvailable()) {
        m_running = false;
        wakeAfterRest();
        return;
    }
    QString id;
    for (const QString &candidate : linksWithoutInsight(m_store))
        if (!m_asked.contains(candidate)) {
            id = candidate;
            break;
        }
    if (id.isEmpty()) {
        m_running = false;
        return;
    }
    QPointer<InsightBackfill> self(this);
    generateLinkInsight(m_store, id, [self, id] {
        if (!self)
            return;
        // A model that did not answer is asked about this item again later.
        if (!LanguageModel::systemDefault().isResting())
            self->m_asked.insert(id);
        self->next();
    });
}

void InsightBackfill::wakeAfterRest()
{
    const LanguageModel model = LanguageModel::systemDefault();
    if (model.isConfigured() && model.isResting())
        m_wake->start(int(std::min<qint64>(model.restRemainingMs() + 500, 24 * 3600 * 1000)));
}

void describeLinksWhenModelAvailable(LibraryStore &store)
{
    if (store.findChild<InsightBackfill *>(QString(), Qt::FindDirectChildrenOnly))
        return;
    (new InsightBackfill(store))->start();
}

} // namespace vellora
