#pragma once
// The background analysis of the library's items: for every image item, and
// every link item once its page was fetched, what is missing of its feature
// print, palette, labels with recognised text, and suggested tags, computed
// from its thumbnail. One loop at a time on the main thread; the image work
// runs on a worker thread of its own, one item after another, and each result
// is written into the item through the store, which then saves it.
//
// Feature prints are kept here, by item id, and in "featureprints.bin"
// (written at the end of every pass that had work, never at quit).
//
// A thumbnail that is missing or does not decode yet (still being written,
// or not downloaded) is skipped for the pass: nothing is recorded for it, so
// the next pass tries again, rather than storing an empty palette or labels.

#include "FeaturePrintStore.h"

#include <QObject>
#include <QString>
#include <QThreadPool>
#include <QTimer>
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
    void cancel();

    // How many workers compute thumbnails at once (one per core unless set).
    void setWorkerCount(int workers);
    int workerCount() const { return m_workers; }

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

private:
    struct Work;
    struct ImageResult;
    void startPass();
    void prefetch(qsizetype from);
    void imageResultArrived(quint64 pass, qsizetype index, std::shared_ptr<const ImageResult> result);
    void nextItem();
    void printStep();
    void paletteStep();
    void labelsStep();
    void tagsStep();
    void retryTagsLater();
    void retryTimeout();
    static constexpr qint64 kRetryLookMs = 5000;
    void finishItem();
    void endLoop();
    void setDone(int done);
    void setTotal(int total);
    void loadPrints();
    void savePrints();
    std::optional<QString> thumbnailPath(const Item &item) const;
    // Runs `work` on the analysis thread and `then` with its result back on
    // this thread; dropped when the analyzer is gone by then.
    template <typename Result, typename Work, typename Then> void offMain(Work work, Then then);

    LibraryStore &m_store;
    int m_done = 0;
    int m_total = 0;
    FeaturePrintSet m_prints;
    bool m_running = false;
    bool m_again = false;
    bool m_cancelled = false;
    std::unique_ptr<Work> m_work;
    QThreadPool m_pool;
    int m_workers = 1;
    quint64 m_passes = 0;
    // A pass after the language model's rest, for the tags it did not give.
    QTimer m_retry;
};

// The thumbnail of an item in a library folder; none when its name is no
// plain file name.
std::optional<QString> thumbnailPathOf(const QString &root, const Item &item);

} // namespace vellora
