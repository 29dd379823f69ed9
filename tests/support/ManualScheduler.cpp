#include "ManualScheduler.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>

namespace vellora {

namespace {
std::atomic<TaskId> g_nextId{1};
} // namespace

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

} // namespace vellora
