#pragma once
// Coordinated access to a file that other threads and other processes (a
// command-line run beside the window, a sync client) read and replace.
//
// Readers share, writers exclude: inside the process through a reader/writer
// lock per path, across processes through flock() on a lock file beside the
// file ("." + name + ".lock"). Every replacement is a temporary file in the
// same folder, fsync, rename over the target, fsync of the folder, so a
// reader or a crash sees the old bytes or the new ones, never a mix.

#include <QByteArray>
#include <QString>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <vector>

namespace vellora {

// A failed file operation; description() is the text shown to the user.
class FileError : public std::runtime_error {
public:
    explicit FileError(const QString &description, int code = 0)
        : std::runtime_error(description.toStdString()), m_description(description), m_code(code) {}
    QString description() const { return m_description; }
    // errno of the failed call, 0 when there is none.
    int code() const { return m_code; }

private:
    QString m_description;
    int m_code;
};

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

// Replaces `path` atomically and durably (see above). Throws FileError; the
// file then keeps its previous content. No coordination: callers hold it.
void writeFileAtomically(const QString &path, const QByteArray &bytes);

// A file's bytes as consecutive pieces, written in order: a large document
// made in parts need not be joined into one buffer to be written.
using BytePieces = std::vector<std::string_view>;
void writeFileAtomically(const QString &path, const BytePieces &pieces);

// A file's bytes made as they are written: the producer hands `write` its
// consecutive pieces in order, and may be asked for them more than once.
// `sizeHint` is about how large the file will be (-1: not known). A failure
// of the producer passes through, and the file keeps its previous content.
using ByteSink = std::function<void(std::string_view)>;
using ByteProducer = std::function<void(const ByteSink &write)>;
void writeFileAtomically(const QString &path, const ByteProducer &produce, qint64 sizeHint);

// Whether `bytes` are the pieces joined.
bool samePieces(const QByteArray &bytes, const BytePieces &pieces);

// Removes the temporary files that writeFileAtomically() left beside `path`
// when its process died before the rename, once they are older than
// `minimumAgeSeconds` (a younger one may still be written). They never hold
// the only copy of anything: the rename did not happen. Returns how many went.
int removeAbandonedTemporaries(const QString &path, double minimumAgeSeconds);

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
