#include "Scheduler.h"

#include "Clock.h"

#include <QCoreApplication>
#include <QHash>
#include <QMetaObject>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <vector>

namespace vellora {

namespace {
QtScheduler g_qtScheduler;
std::atomic<Scheduler *> g_scheduler{nullptr};
std::atomic<TaskId> g_nextId{1};

// Delayed tasks of the Qt scheduler, keyed by id, so cancel() can find the timer
// from any thread. Timers live on the main thread only.
std::mutex g_timersLock;
QHash<TaskId, QPointer<QTimer>> g_timers;

QObject *mainContext()
{
    return QCoreApplication::instance();
}
} // namespace

Scheduler &Scheduler::main()
{
    Scheduler *s = g_scheduler.load();
    return s ? *s : g_qtScheduler;
}

void Scheduler::setMain(Scheduler *scheduler) { g_scheduler.store(scheduler); }

void QtScheduler::post(std::function<void()> fn)
{
    QObject *context = mainContext();
    if (!context)
        return; // no event loop: nothing would ever run it
    QMetaObject::invokeMethod(context, std::move(fn), Qt::QueuedConnection);
}

TaskId QtScheduler::postAfter(double seconds, std::function<void()> fn)
{
    const TaskId id = g_nextId.fetch_add(1);
    QObject *context = mainContext();
    if (!context)
        return id;
    const int msec = int(std::clamp(seconds * 1000.0, 0.0, 2147483647.0));
    auto arm = [id, msec, fn = std::move(fn)]() mutable {
        auto *timer = new QTimer(QCoreApplication::instance());
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer);
        {
            std::lock_guard guard(g_timersLock);
            auto it = g_timers.find(id);
            if (it != g_timers.end()) {
                // A tombstone: cancelled before the main thread got to arm it.
                g_timers.erase(it);
                delete timer;
                return;
            }
            g_timers.insert(id, timer);
        }
        QObject::connect(timer, &QTimer::timeout, timer, [id, timer, fn = std::move(fn)] {
            {
                std::lock_guard guard(g_timersLock);
                g_timers.remove(id);
            }
            timer->deleteLater();
            fn();
        });
        timer->start(msec);
    };
    if (QThread::currentThread() == context->thread())
        arm();
    else
        QMetaObject::invokeMethod(context, std::move(arm), Qt::QueuedConnection);
    return id;
}

void QtScheduler::cancel(TaskId id)
{
    if (id == 0)
        return;
    QPointer<QTimer> timer;
    {
        std::lock_guard guard(g_timersLock);
        auto it = g_timers.find(id);
        if (it == g_timers.end()) {
            // Not armed yet (posted from another thread): leave a tombstone
            // that the arming step finds.
            g_timers.insert(id, QPointer<QTimer>());
            return;
        }
        timer = it.value();
        g_timers.erase(it);
    }
    if (!timer)
        return;
    if (QThread::currentThread() == timer->thread()) {
        timer->stop();
        timer->deleteLater();
    } else {
        QMetaObject::invokeMethod(timer, [timer] {
            if (timer) {
                timer->stop();
                timer->deleteLater();
            }
        }, Qt::QueuedConnection);
    }
}

// ---------------------------------------------------------------------------

struct ManualScheduler::State {
    struct Task {
        double due;
        quint64 order;
        std::function<void()> fn;
    };
    ManualClock *clock = nullptr;
    mutable std::recursive_mutex lock;
    double elapsed = 0.0;
    quint64 order = 0;
    std::map<TaskId, Task> tasks;

    // The next due task at or before `limit`, by due time then posting order.
    bool takeNext(double limit, Task &out)
    {
        std::lock_guard guard(lock);
        auto best = tasks.end();
        for (auto it = tasks.begin(); it != tasks.end(); ++it) {
            if (it->second.due > limit)
                continue;
            if (best == tasks.end() || it->second.due < best->second.due
                || (it->second.due == best->second.due && it->second.order < best->second.order))
                best = it;
        }
        if (best == tasks.end())
            return false;
        out = std::move(best->second);
        tasks.erase(best);
        return true;
    }
};

ManualScheduler::ManualScheduler(ManualClock *clock) : d(new State)
{
    d->clock = clock;
}

ManualScheduler::~ManualScheduler() { delete d; }

void ManualScheduler::post(std::function<void()> fn)
{
    std::lock_guard guard(d->lock);
    d->tasks.emplace(g_nextId.fetch_add(1), State::Task{d->elapsed, d->order++, std::move(fn)});
}

TaskId ManualScheduler::postAfter(double seconds, std::function<void()> fn)
{
    std::lock_guard guard(d->lock);
    const TaskId id = g_nextId.fetch_add(1);
    d->tasks.emplace(id, State::Task{d->elapsed + std::max(0.0, seconds), d->order++, std::move(fn)});
    return id;
}

void ManualScheduler::cancel(TaskId id)
{
    std::lock_guard guard(d->lock);
    d->tasks.erase(id);
}

int ManualScheduler::runPending()
{
    int ran = 0;
    State::Task task;
    while (d->takeNext(d->elapsed, task)) {
        task.fn();
        ++ran;
    }
    return ran;
}

void ManualScheduler::advance(double seconds)
{
    const double target = d->elapsed + std::max(0.0, seconds);
    State::Task task;
    while (d->takeNext(target, task)) {
        const double step = task.due - d->elapsed;
        if (step > 0) {
            d->elapsed = task.due;
            if (d->clock)
                d->clock->advance(step);
        }
        task.fn();
    }
    const double rest = target - d->elapsed;
    d->elapsed = target;
    if (d->clock && rest > 0)
        d->clock->advance(rest);
}

double ManualScheduler::elapsed() const { return d->elapsed; }

int ManualScheduler::pendingCount() const
{
    std::lock_guard guard(d->lock);
    return int(d->tasks.size());
}

// ---------------------------------------------------------------------------

void Debouncer::schedule(std::function<void()> fn)
{
    cancel();
    m_scheduler = &Scheduler::main();
    auto holder = std::make_shared<std::function<void()>>(std::move(fn));
    // The id is only known after postAfter returns; the task clears it by value.
    auto idBox = std::make_shared<TaskId>(0);
    m_id = m_scheduler->postAfter(m_seconds, [this, holder, idBox] {
        if (m_id == *idBox)
            m_id = 0;
        (*holder)();
    });
    *idBox = m_id;
}

void Debouncer::cancel()
{
    if (m_id != 0 && m_scheduler)
        m_scheduler->cancel(m_id);
    m_id = 0;
}

} // namespace vellora
