#include "Scheduler.h"

#include <QCoreApplication>
#include <QHash>
#include <QMetaObject>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <mutex>

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
