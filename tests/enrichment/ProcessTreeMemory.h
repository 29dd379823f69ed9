#pragma once
// The memory a process and all its descendants hold (the web engine's
// renderer and helper processes are children of the test), sampled while a
// test waits, and the peak seen. Linux /proc only.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QList>
#include <atomic>
#include <chrono>
#include <thread>

#include <unistd.h>

namespace fixtures {

// The resident set of one process in bytes; 0 when it is gone.
inline qint64 residentBytes(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong() * 1024;
    return 0;
}

// Every running process's children, by parent.
inline QHash<qint64, QList<qint64>> childrenByParent()
{
    QHash<qint64, QList<qint64>> children;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool number = false;
        const qint64 pid = entry.toLongLong(&number);
        if (!number)
            continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        // "pid (name) state ppid ...": the name may hold spaces and brackets.
        const QByteArray text = stat.readAll();
        const qsizetype close = text.lastIndexOf(')');
        const QList<QByteArray> fields = text.mid(close + 2).split(' ');
        children[fields.value(1).toLongLong()].append(pid);
    }
    return children;
}

// The processes the web engine's helpers started below this one: its
// renderers (the engine's own helpers are this process's children).
inline QList<qint64> engineRenderers()
{
    const auto children = childrenByParent();
    QList<qint64> renderers;
    for (qint64 helper : children.value(getpid()))
        renderers += children.value(helper);
    return renderers;
}

// The resident sets of `root` and every process below it, summed.
inline qint64 treeResidentBytes(qint64 root = getpid())
{
    const auto children = childrenByParent();
    qint64 total = 0;
    QList<qint64> pending{root};
    while (!pending.isEmpty()) {
        const qint64 pid = pending.takeLast();
        total += residentBytes(pid);
        pending += children.value(pid);
    }
    return total;
}

// Samples the tree every `intervalMs` on a thread of its own (the main
// thread may be busy when the peak comes) while it lives.
class PeakTreeMemory {
public:
    explicit PeakTreeMemory(int intervalMs = 50)
        : m_thread([this, intervalMs] {
              while (!m_stop.load()) {
                  const qint64 now = treeResidentBytes();
                  qint64 seen = m_peak.load();
                  while (now > seen && !m_peak.compare_exchange_weak(seen, now)) {
                  }
                  std::this_thread::sleep_for(std::chrono::milliseconds(intervalMs));
              }
          })
    {
    }
    ~PeakTreeMemory()
    {
        m_stop = true;
        m_thread.join();
    }
    qint64 peak() const { return m_peak.load(); }

private:
    std::atomic<bool> m_stop{false};
    std::atomic<qint64> m_peak{0};
    std::thread m_thread;
};

} // namespace fixtures
