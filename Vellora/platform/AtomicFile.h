#pragma once
// The one way this program replaces a file: a hidden temporary file in the
// same folder (so the rename stays on one filesystem), the new bytes, fsync
// of the file and rename over the target, fsync of the folder, the fsyncs
// as the durability asks. A reader, a crash or a failed write sees the old
// bytes or the new ones, never a mix, and a failure leaves no temporary
// file behind.
//
// Failures throw FileError, whose description() says which step failed and
// why. Callers that only need to know whether it worked catch it.

#include <QByteArray>
#include <QString>

#include <functional>
#include <stdexcept>
#include <string_view>
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

enum class Durability {
    // Readers see the old file or the whole new one. After a power cut the
    // name may hold either, or an empty file: for what can be made again
    // (thumbnails, covers, stamps), where an fsync per file costs more than
    // it saves.
    Atomic,
    // As Atomic, and the bytes are on disk before the name points at them
    // (fsync of the file before the rename), so a power cut never leaves a
    // named but empty file; the rename reaches the disk with the next
    // durable write. For media files written by the thousand in an import:
    // a folder fsync each would cost more than the write.
    Synced,
    // As Synced, and the rename is on disk when the call returns (fsync of
    // the folder after it).
    Durable,
};

// Replaces `path` with `bytes`. A replaced file keeps its permissions; a new
// one gets 0644.
void writeFileAtomically(const QString &path, const QByteArray &bytes, Durability durability = Durability::Durable);

// Writes `bytes` to `path` (making its folder) unless it already holds them,
// so that files other programs watch (desktop entries, icons, provider
// files) are not touched at every start. False with "path: reason" in
// `error` when it could not; `wrote` says whether the file changed.
bool writeFileIfChanged(const QString &path, const QByteArray &bytes, bool *wrote = nullptr,
                        QString *error = nullptr);

// A file's bytes as consecutive pieces, written in order: a large document
// made in parts need not be joined into one buffer to be written.
using BytePieces = std::vector<std::string_view>;
void writeFileAtomically(const QString &path, const BytePieces &pieces, Durability durability = Durability::Durable);

// A file's bytes made as they are written: the producer hands `write` its
// consecutive pieces in order, and may be asked for them more than once.
// `sizeHint` is about how large the file will be (-1: not known); a large
// file is written past the page cache. A failure of the producer passes
// through, and the file keeps its previous content.
using ByteSink = std::function<void(std::string_view)>;
using ByteProducer = std::function<void(const ByteSink &write)>;
void writeFileAtomically(const QString &path, const ByteProducer &produce, qint64 sizeHint,
                         Durability durability = Durability::Durable);

// The new content put into the open temporary file by the caller (a clone
// or an in-kernel copy of another file, say): `fill` writes into `fd`,
// which stays open and owned by the writer, and throws FileError (or
// anything else, which passes through) when it cannot.
using DescriptorFill = std::function<void(int fd)>;
void writeFileAtomicallyThrough(const QString &path, const DescriptorFill &fill,
                                Durability durability = Durability::Durable);

// Whether `bytes` are the pieces joined.
bool samePieces(const QByteArray &bytes, const BytePieces &pieces);

// Whether a file name is one of the writer's temporary files, left over
// when its process died before the rename: "." + name + ".tmp-XXXXXX", and
// "<name>.tmp-XXXXXX" of older builds. (Older builds' "." + name + ".XXXXXX"
// is told apart from other hidden names only beside its target: see
// removeAbandonedTemporaries().)
bool isAbandonedTemporaryName(const QString &fileName);

// Removes the temporary files that writes of `path` left beside it when
// their process died before the rename, in every naming this program has
// used, once they are older than `minimumAgeSeconds` (a younger one may
// still be written). They never hold the only copy of anything: the rename
// did not happen. Returns how many went.
int removeAbandonedTemporaries(const QString &path, double minimumAgeSeconds);

} // namespace vellora
