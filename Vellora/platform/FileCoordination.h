#pragma once
// Coordinated access to a file that other threads and other processes (a
// command-line run beside the window, a sync client) read and replace.
//
// Readers share, writers exclude: inside the process through a reader/writer
// lock per path, across processes through flock() on a lock file beside the
// file ("." + name + ".lock"). Every replacement goes through
// writeFileAtomically() (AtomicFile.h), so a reader or a crash sees the old
// bytes or the new ones, never a mix.

#include "AtomicFile.h"

#include <QByteArray>
#include <QString>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace vellora {

// The name of the lock file that coordinates `path`.
QString coordinationLockPath(const QString &path);

// Runs `accessor` with `path` while holding shared access. Returns false, and
// does not run the accessor, when the coordination itself fails (the folder
// is missing); `error` then says why. A folder where no lock file can be
// made (read-only) is read with the in-process lock alone.
bool coordinateReading(const QString &path, const std::function<void(const QString &)> &accessor,
                       QString *error = nullptr);

// Runs `accessor` with `path` while holding exclusive access. Throws FileError
// when the lock cannot be taken; exceptions of the accessor pass through.
void coordinateWriting(const QString &path, const std::function<void(const QString &)> &accessor);

// The whole file, or nothing on any error.
std::optional<QByteArray> readWholeFile(const QString &path);

// coordinateWriting() around writeFileAtomically().
void coordinatedWrite(const QString &path, const QByteArray &bytes);

// Prints "<name>: coordinated read timed out after <n> s, reading directly".
void reportCoordinatedReadTimeout(const QString &path, double timeout);

// Reads `path` under coordination on a thread of its own, waiting at most
// `timeout` seconds. When the coordinated read finishes in time its result is
// returned (nothing when the coordination failed or the reader gave nothing);
// after the time-out the reader is called directly, without coordination, and
// the late coordinated result is dropped.
template <typename T>
std::optional<T> coordinatedRead(const QString &path, double timeout,
                                 std::function<std::optional<T>(const QString &)> reader)
{
    // Shared by both sides, so a late finish after a time-out writes into a
    // slot that still exists.
    struct Slot {
        std::mutex mutex;
        std::condition_variable signal;
        bool done = false;
        std::optional<T> value;
    };
    auto slot = std::make_shared<Slot>();
    std::thread([slot, path, reader] {
        std::optional<T> value;
        coordinateReading(path, [&](const QString &url) { value = reader(url); });
        std::lock_guard lock(slot->mutex);
        slot->value = std::move(value);
        slot->done = true;
        slot->signal.notify_all();
    }).detach();

    {
        std::unique_lock lock(slot->mutex);
        const auto wait = std::chrono::duration<double>(timeout < 0 ? 0 : timeout);
        if (slot->signal.wait_for(lock, wait, [&] { return slot->done; }))
            return std::move(slot->value);
    }
    reportCoordinatedReadTimeout(path, timeout);
    return reader(path);
}

// coordinatedRead() with readWholeFile() as the reader.
std::optional<QByteArray> coordinatedReadData(const QString &path, double timeout);

} // namespace vellora
