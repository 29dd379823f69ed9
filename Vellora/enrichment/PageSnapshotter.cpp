#include "PageSnapshotter.h"

#include <QPointer>
#include <QTimer>

#include <deque>

namespace vellora {

namespace {

PageSnapshotFactory &installedFactory()
{
    static PageSnapshotFactory factory;
    return factory;
}

class EmptySnapshot final : public PageSnapshotRun {
public:
    void run(const QString &, std::function<void(PageSnapshotResult)> done) override
    {
        QTimer::singleShot(0, [done = std::move(done)] { done({}); });
    }
};

class QueuedSnapshot;

// The runs that render now and those that wait. Main thread only.
struct SnapshotQueue {
    int running = 0;
    std::deque<QueuedSnapshot *> waiting;

    static SnapshotQueue &shared()
    {
        static SnapshotQueue queue;
        return queue;
    }
    void enqueue(QueuedSnapshot *run);
    void forget(QueuedSnapshot *run) { std::erase(waiting, run); }
    void release();
    void startWaiting();
};

class QueuedSnapshot final : public PageSnapshotRun {
public:
    ~QueuedSnapshot() override
    {
        auto &queue = SnapshotQueue::shared();
        queue.forget(this);
        if (m_inner) {
            // Dropping the real run ends it without a callback.
            m_inner.reset();
            queue.release();
        }
    }

    void run(const QString &url, std::function<void(PageSnapshotResult)> done) override
    {
        m_url = url;
        m_done = std::move(done);
        SnapshotQueue::shared().enqueue(this);
    }

    void render(const FetchedPage &page, std::function<void(PageSnapshotResult)> done) override
    {
        m_page = page;
        m_done = std::move(done);
        SnapshotQueue::shared().enqueue(this);
    }

    // Its turn has come.
    void start()
    {
        const auto &factory = installedFactory();
        m_inner = factory ? factory() : nullptr;
        if (!m_inner)
            m_inner = std::make_unique<EmptySnapshot>();
        m_inner->setAddressPolicy(addressPolicy());
        auto finished = [this](PageSnapshotResult result) {
            // The real run is still on its own call stack: it goes later,
            // and only then is its place given to the next one.
            PageSnapshotRun *inner = m_inner.release();
            QTimer::singleShot(0, [inner] {
                delete inner;
                SnapshotQueue::shared().release();
            });
            if (auto done = std::move(m_done)) {
                m_done = nullptr;
                done(std::move(result));
            }
        };
        if (m_page)
            m_inner->render(*m_page, std::move(finished));
        else
            m_inner->run(m_url, std::move(finished));
    }

private:
    QString m_url;
    std::optional<FetchedPage> m_page;
    std::function<void(PageSnapshotResult)> m_done;
    std::unique_ptr<PageSnapshotRun> m_inner;
};

void SnapshotQueue::enqueue(QueuedSnapshot *run)
{
    waiting.push_back(run);
    // A turn is never given from inside run(): its caller is not ready yet.
    QTimer::singleShot(0, [] { SnapshotQueue::shared().startWaiting(); });
}

void SnapshotQueue::release()
{
    running = std::max(0, running - 1);
    QTimer::singleShot(0, [] { SnapshotQueue::shared().startWaiting(); });
}

void SnapshotQueue::startWaiting()
{
    while (running < kSnapshotsAtOnce && !waiting.empty()) {
        QueuedSnapshot *next = waiting.front();
        waiting.pop_front();
        ++running;
        next->start();
    }
}

} // namespace

void setPageSnapshotFactory(PageSnapshotFactory factory)
{
    installedFactory() = std::move(factory);
}

PageSnapshotFactory currentPageSnapshotFactory() { return installedFactory(); }

std::unique_ptr<PageSnapshotRun> makePageSnapshotRun()
{
    return std::make_unique<QueuedSnapshot>();
}

} // namespace vellora
