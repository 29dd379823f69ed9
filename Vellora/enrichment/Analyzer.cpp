#include "Analyzer.h"

#include "ImageAnalysis.h"
#include "LanguageFeatures.h"
#include "Palette.h"
#include "library/LibraryLocation.h"
#include "library/LibraryStore.h"
#include "library/LinkParser.h"
#include "library/Media.h"
#include "library/SafeNames.h"

#include <QCoreApplication>
#include <QDir>
#include <QMetaObject>
#include <QPointer>
#include <QThread>

#include <algorithm>

namespace vellora {

// What a worker computed of one item's thumbnail: the parts that were
// missing when the work was handed out.
struct Analyzer::ImageResult {
    qsizetype index = 0; // in the pass's work list
    bool unreadable = false;
    bool printAsked = false;
    bool paletteAsked = false;
    bool labelsAsked = false;
    std::optional<FeaturePrint> print;
    std::optional<QStringList> palette;
    std::optional<ImageAnalysis> analysis;
};

struct Analyzer::Work {
    quint64 pass = 0;
    QList<Item> items; // copies as they were when the pass began
    AnalysisSettings settings;
    qsizetype nextToSend = 0;
    int inFlight = 0;
    // Set when the pass ends: work still queued for it is not done.
    std::shared_ptr<std::atomic_bool> stop = std::make_shared<std::atomic_bool>(false);
    // Came back, not written yet; the batch being written.
    QList<std::shared_ptr<const ImageResult>> arrived;
    QList<std::shared_ptr<const ImageResult>> batch;
    qsizetype batchNext = 0;
    bool batchDue = false;
    bool applying = false;
    bool tagsWaiting = false; // the item in hand waits for the model
    bool wrote = false;       // an item changed since the last save request
    bool writingPrints = false;
    bool allSent() const { return nextToSend >= items.size(); }
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
    // and passes.
    setWorkerCount(QThread::idealThreadCount());
    m_pool.setExpiryTimeout(-1);
    m_writer.setMaxThreadCount(1);
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &Analyzer::retryTimeout);
    m_batchTimer.setSingleShot(true);
    m_batchTimer.setInterval(kBatchMs);
    connect(&m_batchTimer, &QTimer::timeout, this, [this] {
        if (m_work) {
            m_work->batchDue = true;
            maybeApply();
        }
    });
    loadPrints();
    if (QCoreApplication *app = QCoreApplication::instance())
        connect(app, &QCoreApplication::aboutToQuit, this, &Analyzer::cancel);
}

Analyzer::~Analyzer()
{
    m_cancelled = true;
    if (m_work)
        m_work->stop->store(true);
    m_pool.waitForDone();
    m_writer.waitForDone();
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

void Analyzer::savePrints(std::function<void()> then)
{
    // The prints are shared, so the copy for the writer costs little.
    FeaturePrints kept;
    for (const Item &item : m_store.items()) {
        const FeaturePrint print = m_prints.value(item.id);
        if (!print.isNull())
            kept.insert(item.id, print);
    }
    QPointer<Analyzer> self(this);
    m_writer.start([self, kept = std::move(kept), path = featurePrintsPath(), then = std::move(then)]() mutable {
        const bool written = writeFeaturePrints(path, kept);
        QMetaObject::invokeMethod(
            self.data(),
            [self, written, then = std::move(then)] {
                if (!self)
                    return;
                if (written)
                    emit self->printsSaved();
                then();
            },
            Qt::QueuedConnection);
    });
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
    if (!m_running)
        return;
    m_cancelled = true;
    if (m_work)
        m_work->stop->store(true);
    // Ends the loop from the event loop when no item is in hand; an item
    // being written finishes first and the loop ends before the next.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (m_cancelled)
                maybeApply();
        },
        Qt::QueuedConnection);
}

void Analyzer::setWorkerCount(int workers)
{
    m_workers = std::max(1, workers);
    m_pool.setMaxThreadCount(m_workers);
}

void Analyzer::setBatchLimits(int items, int milliseconds)
{
    m_batchItems = std::max(1, items);
    m_batchTimer.setInterval(std::max(0, milliseconds));
}

void Analyzer::startPass()
{
    m_again = false;
    auto work = std::make_unique<Work>();
    work->pass = ++m_passes;
    work->settings = analysisSettingsFromDefaults();
    work->settings.detectFirst = m_detectFirst;
    for (const Item &item : m_store.items()) {
        if (item.kind == QLatin1String("link") && !item.snapshotDate)
            continue; // its page has not been fetched yet
        if (!m_prints.contains(item.id) || !item.palette || !item.labels || !item.tags)
            work->items << item;
    }
    m_work = std::move(work);
    setTotal(int(m_work->items.size()));
    setDone(0);
    if (m_cancelled) {
        endLoop();
        return;
    }
    dispatch();
}

// Hands the next items to the workers, a few per worker so that none waits
// while the main thread writes a batch. An item that needs no image work
// (only its tags are missing, or its thumbnail has no safe name) comes back
// at once.
void Analyzer::dispatch()
{
    Work &work = *m_work;
    const int window = 2 * m_workers;
    while (work.inFlight < window && !work.allSent()) {
        const qsizetype index = work.nextToSend++;
        const Item &item = work.items[index];
        auto result = std::make_shared<ImageResult>();
        result->index = index;
        const std::optional<QString> path = thumbnailPath(item);
        result->unreadable = !path;
        result->printAsked = !m_prints.contains(item.id);
        result->paletteAsked = !item.palette;
        result->labelsAsked = !item.labels;
        if (!path || !(result->printAsked || result->paletteAsked || result->labelsAsked)) {
            if (work.arrived.isEmpty())
                m_batchTimer.start();
            work.arrived << result;
            continue;
        }
        ++work.inFlight;
        QPointer<Analyzer> self(this);
        m_pool.start([self, pass = work.pass, stop = work.stop, result, path = *path, settings = work.settings] {
            if (stop->load())
                return;
            // What fails to decode once fails for the rest: nothing more is
            // asked of it, and the item waits for the next pass.
            bool readable = true;
            if (result->printAsked) {
                result->print = featurePrintOfFile(path);
                readable = result->print.has_value();
            }
            if (readable && result->paletteAsked && !stop->load()) {
                result->palette = extractPalette(path, 5);
                readable = result->palette.has_value();
            }
            if (readable && result->labelsAsked && !stop->load())
                result->analysis = analyzeImage(path, settings);
            if (stop->load())
                return;
            QMetaObject::invokeMethod(
                self.data(),
                [self, pass, result] {
                    if (self)
                        self->resultArrived(pass, result);
                },
                Qt::QueuedConnection);
        });
    }
    maybeApply();
}

void Analyzer::resultArrived(quint64 pass, std::shared_ptr<const ImageResult> result)
{
    if (!m_work || m_work->pass != pass)
        return; // of a pass that ended
    --m_work->inFlight;
    if (m_work->arrived.isEmpty())
        m_batchTimer.start();
    m_work->arrived << std::move(result);
    dispatch();
}

void Analyzer::maybeApply()
{
    if (!m_work || m_work->applying || m_work->writingPrints)
        return;
    if (m_cancelled) {
        endLoop();
        return;
    }
    Work &work = *m_work;
    const bool allIn = work.allSent() && work.inFlight == 0;
    if (!work.arrived.isEmpty() && (work.arrived.size() >= m_batchItems || work.batchDue || allIn)) {
        m_batchTimer.stop();
        work.batchDue = false;
        work.batch = std::move(work.arrived);
        work.arrived.clear();
        // In the pass's order, as far as they came back.
        std::sort(work.batch.begin(), work.batch.end(),
                  [](const auto &a, const auto &b) { return a->index < b->index; });
        work.batchNext = 0;
        work.applying = true;
        applyNext();
        return;
    }
    if (work.arrived.isEmpty() && allIn)
        passComplete();
}

// Writes the batch an item at a time. Cancellation is looked at before each
// item; the item in hand finishes all its steps first.
void Analyzer::applyNext()
{
    while (m_work && m_work->applying) {
        Work &work = *m_work;
        if (m_cancelled) {
            if (work.wrote)
                m_store.scheduleSave(); // what was written before the cancel
            endLoop();
            return;
        }
        if (work.batchNext >= work.batch.size()) {
            const int items = int(work.batch.size());
            work.batch.clear();
            work.applying = false;
            if (work.wrote) {
                work.wrote = false;
                m_store.scheduleSave();
            }
            emit batchApplied(items);
            maybeApply();
            return;
        }
        const ImageResult &result = *work.batch[work.batchNext++];
        const QString id = work.items[result.index].id;
        if (applyImageResult(result) && !tagsStep(id))
            return; // the model answers later; its answer goes on
        itemFinished();
    }
}

// The print, palette and labels steps of one item; true when its tags step
// is to run.
bool Analyzer::applyImageResult(const ImageResult &result)
{
    Work &work = *m_work;
    const Item &copy = work.items[result.index];
    const QString &id = copy.id;
    bool unreadable = result.unreadable;
    if (!unreadable && result.printAsked && !m_prints.contains(id)) {
        if (result.print)
            m_prints.insert(id, *result.print);
        else
            unreadable = true;
    }
    std::optional<QStringList> palette;
    std::optional<ImageAnalysis> analysis;
    if (!unreadable && !copy.palette && result.paletteAsked) {
        palette = result.palette;
        unreadable = !palette;
    }
    if (!unreadable && !copy.labels && result.labelsAsked) {
        analysis = result.analysis;
        unreadable = !analysis;
    }
    // One change of the stored item for both; an edit made meanwhile to its
    // other fields survives.
    if ((palette || analysis) && m_store.updateItem(id, [&](Item &it) {
            if (palette)
                it.palette = *palette;
            if (analysis) {
                it.labels = analysis->labels;
                it.ocrText = analysis->text;
            }
        }))
        work.wrote = true;
    // Tags come from the labels and text: without a readable thumbnail there
    // is nothing to suggest them from yet, and the fallback would store none.
    return !unreadable && !copy.tags;
}

// The tags step of the item in hand; false while the model's answer is
// awaited, after which the batch goes on by itself.
bool Analyzer::tagsStep(const QString &id)
{
    const std::optional<Item> item = m_store.item(id);
    if (!item)
        return true;
    const QStringList insightTags = item->insight ? item->insight->suggestedTags : QStringList();
    // 0: asked, 1: answered during the call, 2: the call returned first.
    auto state = std::make_shared<int>(0);
    const quint64 pass = m_work->pass;
    suggestTagsIfAnswered(
        item->originalFilename, item->labels.value_or(QStringList()), item->ocrText.value_or(QString()),
        [this, id, insightTags, state, pass](std::optional<QStringList> suggested) {
            if (!m_work || m_work->pass != pass)
                return;
            if (!suggested) {
                // The model did not answer: the tags stay unset, and a pass
                // after its rest asks again.
                retryTagsLater();
            } else {
                const QStringList tags = mergeTags(*suggested, insightTags);
                if (m_store.updateItem(id, [&](Item &it) { it.tags = tags; }))
                    m_work->wrote = true;
            }
            if (*state == 0) {
                *state = 1;
                return;
            }
            m_work->tagsWaiting = false;
            itemFinished();
            applyNext();
        },
        this);
    if (*state == 1)
        return true;
    *state = 2;
    m_work->tagsWaiting = true;
    return false;
}

void Analyzer::itemFinished() { setDone(m_done + 1); }

void Analyzer::passComplete()
{
    if (m_work->items.isEmpty()) {
        afterPass();
        return;
    }
    m_work->writingPrints = true;
    const quint64 pass = m_work->pass;
    savePrints([this, pass] {
        if (!m_work || m_work->pass != pass)
            return;
        m_work->writingPrints = false;
        afterPass();
    });
}

void Analyzer::afterPass()
{
    if (m_cancelled) {
        endLoop();
        return;
    }
    if (m_again) {
        startPass();
        return;
    }
    setTotal(0);
    setDone(0);
    endLoop();
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

void Analyzer::endLoop()
{
    if (m_work)
        m_work->stop->store(true);
    m_work.reset();
    m_batchTimer.stop();
    m_running = false;
    m_cancelled = false;
    emit finished();
}

} // namespace vellora
