#pragma once
// Virtual time for tests. Nothing runs until the test calls runPending() or
// advance(); tasks run in due order (posting order among equals), and a task
// that posts more work during advance() gets it run too when it falls due.
// When a ManualClock is given it is moved along with virtual time.

#include "ManualClock.h"
#include "platform/Scheduler.h"

namespace vellora {

class ManualScheduler final : public Scheduler {
public:
    explicit ManualScheduler(ManualClock *clock = nullptr);
    ~ManualScheduler() override;

    void post(std::function<void()> fn) override;
    TaskId postAfter(double seconds, std::function<void()> fn) override;
    void cancel(TaskId id) override;

    // Runs everything due at the current virtual time; returns how many ran.
    int runPending();
    // Moves virtual time forward by `seconds`, running tasks as they fall due.
    void advance(double seconds);
    double elapsed() const;
    // Number of tasks waiting (immediate and delayed).
    int pendingCount() const;

private:
    struct State;
    State *d;
};

} // namespace vellora
