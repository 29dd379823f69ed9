#pragma once
// Reading a file that lives in a folder we do not own (another library, the
// drops folder) or that the user named: it may be a link to somewhere else,
// a FIFO that blocks any reader for good, a device that never ends, or far
// larger than anything it claims to be.
//
// The file is opened without blocking (O_NONBLOCK) and, unless the caller
// allows it, without following a link as its last component (O_NOFOLLOW);
// the open descriptor must be a regular file, and no more than the cap is
// ever read. What was opened is what is read: there is no second lookup of
// the name between the check and the read.

#include <QByteArray>
#include <QString>

#include <optional>

namespace vellora {

enum class LinkPolicy {
    Refuse,  // a folder we do not own: a link may point anywhere
    Follow,  // a name the user gave on purpose: the link is what they mean
};

// Why a file was not opened. Callers decide by the kind; the text is for people.
struct IntakeError {
    enum class Kind {
        Unopenable, // missing, no permission, or the system refused: it may work later
        Link,       // a link where LinkPolicy::Refuse allows none
        NotRegular, // a FIFO, a device, a folder
        TooLarge,   // over the cap
    };
    Kind kind = Kind::Unopenable;
    QString text;
};

class IntakeFile {
public:
    IntakeFile() = default;
    IntakeFile(IntakeFile &&other) noexcept;
    IntakeFile &operator=(IntakeFile &&other) noexcept;
    IntakeFile(const IntakeFile &) = delete;
    IntakeFile &operator=(const IntakeFile &) = delete;
    ~IntakeFile();

    // Opens `path` for reading. Nothing, with the reason in `error`, when it
    // cannot be opened, is a link (with LinkPolicy::Refuse), is not a regular
    // file, or is larger than `maxBytes`.
    static std::optional<IntakeFile> open(const QString &path, LinkPolicy links, qint64 maxBytes,
                                          IntakeError *error = nullptr);

    qint64 size() const { return m_size; }
    // Modification time in nanoseconds since the epoch, as opened.
    qint64 modifiedNs() const { return m_modifiedNs; }
    int descriptor() const { return m_fd; }

    // Up to `count` bytes from the start; fewer for a shorter file.
    std::optional<QByteArray> head(qint64 count) const;
    // The whole file, at most the cap given to open(); nothing when reading
    // fails or the file grew past the cap meanwhile.
    std::optional<QByteArray> readAll() const;
    // Streams the whole file into `to` (which must not exist yet), never
    // holding more than a buffer of it. False, with nothing left at `to`,
    // on any failure.
    bool copyTo(const QString &to) const;

private:
    int m_fd = -1;
    qint64 m_size = 0;
    qint64 m_cap = 0;
    qint64 m_modifiedNs = 0;
};

// IntakeFile::open() and readAll() in one.
std::optional<QByteArray> readIntakeFile(const QString &path, LinkPolicy links, qint64 maxBytes);

} // namespace vellora
