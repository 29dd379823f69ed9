#pragma once
// The seam for "later": work posted to the main thread, and delays with cancel.
// Production runs on Qt's event loop; tests install a scheduler of virtual
// time, so a 0.5 s debounce or a 300 s spacing is tested without waiting.

#include <QtGlobal>
#include <functional>

namespace vellora {

using TaskId = quint64;

class Scheduler {
public:
    virtual ~Scheduler() = default;

    // Runs fn on the main thread, after the caller returns. Safe from any thread.
    virtual void post(std::function<void()> fn) = 0;
    // Runs fn on the main thread once `seconds` have passed. Safe from any thread.
    // Returns an id that cancel() takes; ids are never 0.
    virtual TaskId postAfter(double seconds, std::function<void()> fn) = 0;
    // Cancels a delayed task that has not started; unknown ids are ignored.
    virtual void cancel(TaskId id) = 0;

    // The scheduler of the main thread; a QtScheduler unless a test installed another.
    static Scheduler &main();
    // Installs a scheduler (not owned); nullptr restores the Qt one.
    static void setMain(Scheduler *scheduler);
};

// Posts onto the thread of QCoreApplication's event loop, delays through QTimer.
class QtScheduler final : public Scheduler {
public:
    void post(std::function<void()> fn) override;
    TaskId postAfter(double seconds, std::function<void()> fn) override;
    void cancel(TaskId id) override;
};

// "Run this once, `seconds` after the last call": each schedule() replaces the
// pending run. Main-thread only. Cancels its pending run when destroyed.
class Debouncer {
public:
    explicit Debouncer(double seconds) : m_seconds(seconds) {}
    ~Debouncer() { cancel(); }
    Debouncer(const Debouncer &) = delete;
    Debouncer &operator=(const Debouncer &) = delete;

    void schedule(std::function<void()> fn);
    void cancel();
    bool pending() const { return m_id != 0; }
    double interval() const { return m_seconds; }

private:
    double m_seconds;
    TaskId m_id = 0;
    Scheduler *m_scheduler = nullptr;
};

} // namespace vellora
