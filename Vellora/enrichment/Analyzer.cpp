#include "Analyzer.h"

#include "ImageAnalysis.h"
#include "LanguageFeatures.h"
#include "LinkParser.h"
#include "Palette.h"
#include "library/LibraryLocation.h"
#include "library/LibraryStore.h"
#include "library/SafeNames.h"

#include <QCoreApplication>
#include <QDir>
#include <QMetaObject>
#include <QPointer>
#include <QSet>
#include <QThread>

#include <algorithm>

namespace vellora {

// What the workers computed of one item's thumbnail ahead of its turn: the
// parts that were missing when the work was handed out.
struct Analyzer::ImageResult {
    bool printAsked = false;
    bool paletteAsked = false;
    bool labelsAsked = false;
    std::optional<FeaturePrint> print;
    std::optional<QStringList> palette;
    std::optional<ImageAnalysis> analysis;
};

struct Analyzer::Work {
    QList<Item> items; // copies as they were when the pass began
    qsizetype index = 0;
    // The item in progress: its thumbnail, and whether it was unreadable.
    std::optional<QString> thumbnail;
    bool unreadable = false;
    const Item &current() const { return items[index]; }
    // The image work handed to the workers, by index in `items`, and what
    // came back of it; the item in progress waits for its own.
    quint64 pass = 0;
    QSet<qsizetype> requested;
    QSet<qsizetype> jobs; // those of `requested` that went to a worker
    QHash<qsizetype, std::shared_ptr<const ImageResult>> ready;
    std::shared_ptr<const ImageResult> result; // of the item in progress
    qsizetype waitingFor = -1;
};

Analyzer &Analyzer::shared()
{
    // Kept for the life of the process, like the store it works on.
    static Analyzer *instance = new Analyzer(LibraryStore::shared());
    return *instance;
}

Analyzer::Analyzer(LibraryStore &store, QObject *parent) : QObject(parent), m_store(store)
{
    // One worker per core, each keeping its own text engine between items
    // and passes. The items are written into the store one after another,
    // in the pass's order; the workers compute the thumbnails of the items
    // ahead of the one in progress.
    setWorkerCount(QThread::idealThreadCount());
    m_pool.setExpiryTimeout(-1);
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &Analyzer::retryTimeout);
    loadPrints();
    if (QCoreApplication *app = QCoreApplication::instance())
        connect(app, &QCoreApplication::aboutToQuit, this, &Analyzer::cancel);
}

Analyzer::~Analyzer()
{
    m_cancelled = true;
    m_pool.waitForDone();
}

std::optional<QString> thumbnailPathOf(const QString &root, const Item &item)
{
    return libraryFilePath(root, QStringLiteral("thumbnails"), item.thumbnailFilename);
}

std::optional<QString> Analyzer::thumbnailPath(const Item &item) const { return thumbnailPathOf(m_store.root(), item); }

QString Analyzer::featurePrintsPath() const
{
    const QString root = m_store.root();
    const QString folder = LibraryLocation::isICloud(root) ? LibraryLocation::localURL() : root;
    return QDir(folder).filePath(QStringLiteral("featureprints.bin"));
}

void Analyzer::loadPrints() { m_prints = FeaturePrintSet(readFeaturePrints(featurePrintsPath())); }

void Analyzer::savePrints()
{
    FeaturePrints kept;
    for (const Item &item : m_store.items()) {
        const FeaturePrint print = m_prints.value(item.id);
        if (!print.isNull())
            kept.insert(item.id, print);
    }
    if (writeFeaturePrints(featurePrintsPath(), kept))
        emit printsSaved();
}

DistanceTable Analyzer::distances(const QString &id) const { return m_prints.distances(id); }

void Analyzer::dropPrint(const QString &id) { m_prints.remove(id); }

void Analyzer::setPrint(const QString &id, const FeaturePrint &print) { m_prints.insert(id, print); }

void Analyzer::setDone(int done)
{
    if (done == m_done)
        return;
    m_done = done;
    emit doneChanged(done);
}

void Analyzer::setTotal(int total)
{
    if (total == m_total)
        return;
    m_total = total;
    emit totalChanged(total);
}

void Analyzer::schedule()
{
    if (m_running) {
        m_again = true;
        return;
    }
    m_running = true;
    m_cancelled = false;
    // The loop starts from the event loop, as a task would, not inside the caller.
    QMetaObject::invokeMethod(this, [this] { startPass(); }, Qt::QueuedConnection);
}

void Analyzer::cancel()
{
    if (m_running)
        m_cancelled = true;
}

template <typename Result, typename WorkFn, typename Then> void Analyzer::offMain(WorkFn work, Then then)
{
    QPointer<Analyzer> self(this);
    m_pool.start([self, work = std::move(work), then = std::move(then)]() mutable {
        Result result = work();
        if (!self)
            return;
        QMetaObject::invokeMethod(
            self.data(), [then = std::move(then), result = std::move(result)]() mutable { then(std::move(result)); },
            Qt::QueuedConnection);
    });
}

void Analyzer::setWorkerCount(int workers)
{
    m_workers = std::max(1, workers);
    m_pool.setMaxThreadCount(m_workers);
}

void Analyzer::prefetch(qsizetype from)
{
    Work &work = *m_work;
    const qsizetype end = std::min<qsizetype>(work.items.size(), from + m_workers);
    const AnalysisSettings settings = analysisSettingsFromDefaults();
    for (qsizetype i = from; i < end; ++i) {
        if (work.requested.contains(i))
            continue;
        work.requested.insert(i);
        const Item &item = work.items[i];
        const std::optional<QString> path = thumbnailPath(item);
        auto asked = std::make_shared<ImageResult>();
        asked->printAsked = !m_prints.contains(item.id);
        asked->paletteAsked = !item.palette;
        asked->labelsAsked = !item.labels;
        if (!path || !(asked->printAsked || asked->paletteAsked || asked->labelsAsked))
            continue;
        work.jobs.insert(i);
        QPointer<Analyzer> self(this);
        const quint64 pass = work.pass;
        m_pool.start([self, pass, i, asked, path = *path, settings] {
            if (!self)
                return;
            if (asked->printAsked)
                asked->print = featurePrintOfFile(path);
            if (asked->paletteAsked)
                asked->palette = extractPalette(path, 5);
            if (asked->labelsAsked)
                asked->analysis = analyzeImage(path, settings);
            QMetaObject::invokeMethod(
                self.data(),
                [self, pass, i, asked] {
                    if (self)
                        self->imageResultArrived(pass, i, asked);
                },
                Qt::QueuedConnection);
        });
    }
}

void Analyzer::imageResultArrived(quint64 pass, qsizetype index, std::shared_ptr<const ImageResult> result)
{
    if (!m_work || m_work->pass != pass)
        return; // of a pass that ended
    m_work->ready.insert(index, std::move(result));
    if (m_work->waitingFor == index) {
        m_work->waitingFor = -1;
        m_work->result = m_work->ready.take(index);
        printStep();
    }
}

void Analyzer::startPass()
{
    m_again = false;
    auto work = std::make_unique<Work>();
    work->pass = ++m_passes;
    for (const Item &item : m_store.items()) {
        if (item.kind == QLatin1String("link") && !item.snapshotDate)
            continue; // its page has not been fetched yet
        if (!m_prints.contains(item.id) || !item.palette || !item.labels || !item.tags)
            work->items << item;
    }
    m_work = std::move(work);
    setTotal(int(m_work->items.size()));
    setDone(0);
    nextItem();
}

void Analyzer::nextItem()
{
    if (m_cancelled) {
        endLoop();
        return;
    }
    if (m_work->index >= m_work->items.size()) {
        if (!m_work->items.isEmpty())
            savePrints();
        if (m_again) {
            startPass();
            return;
        }
        setTotal(0);
        setDone(0);
        endLoop();
        return;
    }
    m_work->thumbnail = thumbnailPath(m_work->current());
    m_work->unreadable = !m_work->thumbnail;
    m_work->result.reset();
    const qsizetype index = m_work->index;
    prefetch(index);
    if (m_work->unreadable || !m_work->jobs.contains(index)) {
        printStep();
        return;
    }
    if (auto ready = m_work->ready.take(index)) {
        m_work->result = std::move(ready);
        printStep();
        return;
    }
    m_work->waitingFor = index; // imageResultArrived() goes on
}

void Analyzer::printStep()
{
    const QString id = m_work->current().id;
    if (m_work->unreadable || m_prints.contains(id)) {
        paletteStep();
        return;
    }
    if (m_work->result && m_work->result->printAsked) {
        if (m_work->result->print)
            m_prints.insert(id, *m_work->result->print);
        else
            m_work->unreadable = true;
        paletteStep();
        return;
    }
    offMain<std::optional<FeaturePrint>>([path = *m_work->thumbnail] { return featurePrintOfFile(path); },
                                         [this, id](std::optional<FeaturePrint> print) {
                                             if (print)
                                                 m_prints.insert(id, *print);
                                             else
                                                 m_work->unreadable = true;
                                             paletteStep();
                                         });
}

void Analyzer::paletteStep()
{
    const QString id = m_work->current().id;
    if (m_work->unreadable || m_work->current().palette || !m_store.item(id)) {
        labelsStep();
        return;
    }
    if (m_work->result && m_work->result->paletteAsked) {
        if (!m_work->result->palette)
            m_work->unreadable = true;
        else if (m_store.updateItem(id, [&](Item &it) { it.palette = *m_work->result->palette; }))
            m_store.scheduleSave();
        labelsStep();
        return;
    }
    offMain<std::optional<QStringList>>([path = *m_work->thumbnail] { return extractPalette(path, 5); },
                                        [this, id](std::optional<QStringList> palette) {
                                            if (!palette) {
                                                m_work->unreadable = true;
                                            } else if (m_store.updateItem(id, [&](Item &it) { it.palette = *palette; })) {
                                                m_store.scheduleSave();
                                            }
                                            labelsStep();
                                        });
}

void Analyzer::labelsStep()
{
    const QString id = m_work->current().id;
    if (m_work->unreadable || m_work->current().labels || !m_store.item(id)) {
        tagsStep();
        return;
    }
    if (m_work->result && m_work->result->labelsAsked) {
        const auto &analysis = m_work->result->analysis;
        if (!analysis)
            m_work->unreadable = true;
        else if (m_store.updateItem(id, [&](Item &it) {
                     it.labels = analysis->labels;
                     it.ocrText = analysis->text;
                 }))
            m_store.scheduleSave();
        tagsStep();
        return;
    }
    offMain<std::optional<ImageAnalysis>>([path = *m_work->thumbnail, settings = analysisSettingsFromDefaults()] {
                                              return analyzeImage(path, settings);
                                          },
                                          [this, id](std::optional<ImageAnalysis> analysis) {
                                              if (!analysis) {
                                                  m_work->unreadable = true;
                                              } else if (m_store.updateItem(id, [&](Item &it) {
                                                             it.labels = analysis->labels;
                                                             it.ocrText = analysis->text;
                                                         })) {
                                                  m_store.scheduleSave();
                                              }
                                              tagsStep();
                                          });
}

void Analyzer::tagsStep()
{
    const QString id = m_work->current().id;
    const std::optional<Item> item = m_store.item(id);
    // Tags come from the labels and text: without a readable thumbnail there
    // is nothing to suggest them from yet, and the fallback would store none.
    if (m_work->unreadable || m_work->current().tags || !item) {
        finishItem();
        return;
    }
    const QStringList insightTags = item->insight ? item->insight->suggestedTags : QStringList();
    suggestTagsIfAnswered(
        item->originalFilename, item->labels.value_or(QStringList()), item->ocrText.value_or(QString()),
        [this, id, insightTags](std::optional<QStringList> suggested) {
            if (!suggested) {
                // The model did not answer: the tags stay unset, and a pass
                // after its rest asks again.
                retryTagsLater();
            } else {
                const QStringList tags = mergeTags(*suggested, insightTags);
                if (m_store.updateItem(id, [&](Item &it) { it.tags = tags; }))
                    m_store.scheduleSave();
            }
            finishItem();
        },
        this);
}

void Analyzer::retryTagsLater()
{
    if (m_retry.isActive())
        return;
    // Looks again every few seconds rather than once at the rest's end, so
    // that a rest ended early (another server named) is noticed soon.
    const qint64 rest = LanguageModel::systemDefault().restRemainingMs();
    m_retry.start(int(std::clamp<qint64>(rest + 200, 200, kRetryLookMs)));
}

void Analyzer::retryTimeout()
{
    if (LanguageModel::systemDefault().isResting())
        retryTagsLater();
    else
        schedule();
}

void Analyzer::finishItem()
{
    ++m_work->index;
    setDone(m_done + 1);
    nextItem();
}

void Analyzer::endLoop()
{
    m_work.reset();
    m_running = false;
    m_cancelled = false;
    emit finished();
}

} // namespace vellora
