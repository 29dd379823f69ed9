#pragma once
// The background analysis of the library's items: for every image item, and
// every link item once its page was fetched, what is missing of its feature
// print, palette, labels with recognised text, and suggested tags, computed
// from its thumbnail. One loop at a time on the main thread.
//
// The image work of an item (decoding, print, palette, a first look for
// strokes, labels and text) runs whole on one of the workers, one per core,
// each keeping its own text engine between items; several items are in
// hand at once. Their results come back to the main thread and are written
// into the store in batches (so many items, or half a second after the
// first of them came back), an item at a time, with one save request per
// batch. `done` still counts items one by one as each is written.
//
// Feature prints are kept here, by item id, and in "featureprints.bin"
// (written off the main thread at the end of every pass that had work,
// never at quit).
//
// A thumbnail that is missing or does not decode yet (still being written,
// or not downloaded) is skipped for the pass: nothing is recorded for it, so
// the next pass tries again, rather than storing an empty palette or labels.

#include "FeaturePrintStore.h"

#include <QObject>
#include <QString>
#include <QThreadPool>
#include <QTimer>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>

namespace vellora {

class LibraryStore;
struct Item;

class Analyzer : public QObject {
    Q_OBJECT
    Q_PROPERTY(int done READ done NOTIFY doneChanged)
    Q_PROPERTY(int total READ total NOTIFY totalChanged)
public:
    // The application's analyzer, on LibraryStore::shared(); made on first use.
    static Analyzer &shared();

    // An analyzer of `store` (tests and the command line make their own).
    // Loads the prints of featurePrintsPath() and cancels its loop when the
    // application is about to quit.
    explicit Analyzer(LibraryStore &store, QObject *parent = nullptr);
    ~Analyzer() override;

    // Items finished in the current pass, and the pass's work; 0 when idle.
    int done() const { return m_done; }
    int total() const { return m_total; }
    bool isRunning() const { return m_running; }

    // Starts the loop when none runs; during a run, asks for one more pass
    // (however often it is called). Returns at once.
    void schedule();
    // Stops the running loop before its next item; the prints of the
    // interrupted pass are not written, done and total keep their values.
    // Results that came back but were not written yet are dropped.
    void cancel();

    // How many workers compute thumbnails at once (one per core unless set).
    void setWorkerCount(int workers);
    int workerCount() const { return m_workers; }

    // A batch is written once this many items came back, or this long after
    // the first of them did, or when the pass has nothing else in hand.
    void setBatchLimits(int items, int milliseconds);
    static constexpr int kBatchItems = 64;
    static constexpr int kBatchMs = 500;

    // Whether the workers look for strokes and detail first and leave out
    // the text engine and the detectors where there are none (on unless
    // set; off, every picture goes through all of them).
    void setDetectFirst(bool on) { m_detectFirst = on; }

    // Find-similar: the distance from the item's print to every stored print.
    DistanceTable distances(const QString &id) const;

    // The prints in memory. The link pipeline drops an item's print when its
    // picture was replaced; the next pass computes it anew.
    const FeaturePrintSet &prints() const { return m_prints; }
    void dropPrint(const QString &id);
    void setPrint(const QString &id, const FeaturePrint &print);

    // "featureprints.bin" in the library folder, or in the local library
    // folder when the library lives in iCloud, so that it stays on this disk.
    QString featurePrintsPath() const;

signals:
    void doneChanged(int done);
    void totalChanged(int total);
    // The loop ended: all passes done, or cancelled.
    void finished();
    // featureprints.bin was written (at the end of a pass with work).
    void printsSaved();
    // A batch of `items` results was written into the store, followed by
    // one save request when any of them changed an item.
    void batchApplied(int items);

private:
    struct Work;
    struct ImageResult;
    void startPass();
    void dispatch();
    void resultArrived(quint64 pass, std::shared_ptr<const ImageResult> result);
    void maybeApply();
    void applyNext();
    bool applyImageResult(const ImageResult &result);
    bool tagsStep(const QString &id);
    void itemFinished();
    void passComplete();
    void afterPass();
    void retryTagsLater();
    void retryTimeout();
    static constexpr qint64 kRetryLookMs = 5000;
    void endLoop();
    void setDone(int done);
    void setTotal(int total);
    void loadPrints();
    // Writes featureprints.bin off the main thread, then runs `then`.
    void savePrints(std::function<void()> then);
    std::optional<QString> thumbnailPath(const Item &item) const;

    LibraryStore &m_store;
    int m_done = 0;
    int m_total = 0;
    FeaturePrintSet m_prints;
    bool m_running = false;
    bool m_again = false;
    bool m_cancelled = false;
    std::unique_ptr<Work> m_work;
    QThreadPool m_pool;
    // featureprints.bin is written here, one write after another.
    QThreadPool m_writer;
    int m_workers = 1;
    int m_batchItems = kBatchItems;
    QTimer m_batchTimer;
    bool m_detectFirst = true;
    quint64 m_passes = 0;
    // A pass after the language model's rest, for the tags it did not give.
    QTimer m_retry;
};

// The thumbnail of an item in a library folder; none when its name is no
// plain file name.
std::optional<QString> thumbnailPathOf(const QString &root, const Item &item);

} // namespace vellora
