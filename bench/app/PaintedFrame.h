#pragma once
// Watching the main thread from the outside: when the frame that shows a
// result has been painted (the whole event that painted the grid's viewport
// has returned), when the event loop next goes idle after it, and how much
// time the main thread spent in between. The application of a benchmark is a
// FrameWatchApplication so that every event passes through notify().

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <ctime>
#include <functional>

namespace vellora::bench {

// CPU time of the calling thread, in milliseconds.
inline double threadMs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

class FrameWatchApplication : public QApplication {
public:
    using QApplication::QApplication;

    // Asked after each paint event has been handled, with the widget it
    // painted: does the painted frame show what is awaited?
    std::function<bool(QObject *painted)> shows;

    bool notify(QObject *receiver, QEvent *event) override
    {
        const QEvent::Type type = event->type();
        ++m_depth;
        const bool handled = QApplication::notify(receiver, event);
        --m_depth;
        if (m_watching && type == QEvent::Paint && !m_painted && shows && shows(receiver))
            m_painted = true;
        if (m_watching && m_painted && m_depth == 0 && m_frameWall < 0) {
            m_frameWall = double(m_clock.nsecsElapsed()) / 1e6;
            m_frameCpu = threadMs() - m_cpuStart;
        }
        return handled;
    }

    struct Times {
        double frameMs = -1;     // wall time to the painted frame
        double frameCpuMs = -1;  // main-thread CPU time to it
        double idleMs = -1;      // wall time to the end of the next idle pass
        double idleCpuMs = -1;
        bool timedOut = false;
    };

    // Runs `act` (the key event), then the event loop until the frame that
    // `shows` has been painted and the loop has gone idle once after it.
    Times measure(const std::function<void()> &act, int timeoutMs = 20000)
    {
        m_painted = false;
        m_frameWall = -1;
        m_frameCpu = -1;
        Times out;
        QEventLoop loop;
        QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance();
        const auto idle = QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, &loop, [&] {
            if (m_frameWall < 0 || out.idleMs >= 0)
                return;
            out.idleMs = double(m_clock.nsecsElapsed()) / 1e6;
            out.idleCpuMs = threadMs() - m_cpuStart;
            loop.quit();
        });
        QTimer timeout;
        timeout.setSingleShot(true);
        QObject::connect(&timeout, &QTimer::timeout, &loop, [&] {
            out.timedOut = true;
            loop.quit();
        });
        m_clock.start();
        m_cpuStart = threadMs();
        m_watching = true;
        act();
        timeout.start(timeoutMs);
        loop.exec();
        m_watching = false;
        QObject::disconnect(idle);
        out.frameMs = m_frameWall;
        out.frameCpuMs = m_frameCpu;
        return out;
    }

private:
    int m_depth = 0;
    bool m_watching = false;
    bool m_painted = false;
    double m_frameWall = -1, m_frameCpu = -1, m_cpuStart = 0;
    QElapsedTimer m_clock;
};

// Runs the event loop for at least `ms` and until `busy` says false.
inline void settle(int ms, const std::function<bool()> &busy = {})
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms || (busy && busy())) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (timer.elapsed() > 20000)
            break;
    }
}

} // namespace vellora::bench
