#include "WidgetSnapshot.h"

#include <QSet>

#include "DBusNames.h"

#include "library/Item.h"
#include "library/LibraryStore.h"
#include "library/SafeNames.h"
#include "platform/AtomicFile.h"
#include "platform/Bundle.h"
#include "platform/Clock.h"
#include "platform/ImageIO.h"
#include "platform/IntakeFile.h"
#include "platform/Logging.h"
#include "platform/Places.h"
#include "platform/PosixIO.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QThreadPool>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sys/stat.h>

namespace vellora {

namespace {

// A thumbnail or cover larger than this is not a picture we made.
constexpr qint64 kMaxSourceBytes = 256ll * 1024 * 1024;

// The bytes of a picture in the library folder, which may be a synced folder
// others write into: no link is followed, only a regular file of bounded
// size is read.
QByteArray readSource(const QString &path)
{
    return readIntakeFile(path, LinkPolicy::Refuse, kMaxSourceBytes).value_or(QByteArray());
}

bool isRegularFile(const QString &path)
{
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISREG(info.st_mode);
}

// A link is removed itself, never what it points to.
void removeTree(const QString &path)
{
    struct stat info {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return;
    if (S_ISDIR(info.st_mode))
        QDir(path).removeRecursively();
    else
        QFile::remove(path);
}

bool writeNewFile(const QString &path, const QByteArray &bytes)
{
    const int fd = posix::openRetrying(QFile::encodeName(path), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0644);
    if (fd < 0)
        return false;
    const bool written = posix::writeAll(fd, bytes.constData(), bytes.size());
    return ::close(fd) == 0 && written;
}

// Puts the folder at `fresh` in the place of `target` in one step; what was
// there before ends up at `fresh` (or nowhere) and is removed.
bool swapIn(const QString &fresh, const QString &target)
{
    const QByteArray from = QFile::encodeName(fresh);
    const QByteArray to = QFile::encodeName(target);
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_EXCHANGE) == 0) {
        removeTree(fresh);
        return true;
    }
    if (errno == ENOENT) {
        // Nothing there yet.
        if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0
            || (errno == EINVAL && ::rename(from.constData(), to.constData()) == 0))
            return true;
    } else if (errno == EINVAL || errno == ENOSYS) {
        // A file system without the exchange: move the old folder aside first.
        const QString aside = fresh + QStringLiteral("-old");
        const bool moved = ::rename(to.constData(), QFile::encodeName(aside).constData()) == 0;
        const bool placed = ::rename(from.constData(), to.constData()) == 0;
        if (moved)
            removeTree(aside);
        return placed;
    }
    return false;
}

void announce(const QString &container)
{
    // Readers without D-Bus poll the stamp; it is replaced whole.
    const QString stamp = container + QStringLiteral("/Widget.stamp");
    try {
        writeFileAtomically(stamp, QByteArray::number(now(), 'f', 3) + '\n', Durability::Atomic);
    } catch (const FileError &) {
        // The bus signal below still reaches the readers that listen.
    }

    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        bus.send(QDBusMessage::createSignal(QString::fromLatin1(kApplicationPath),
                                            QString::fromLatin1(kApplicationInterface),
                                            QStringLiteral("WidgetSnapshotChanged")));
    }
}

// One pass at a time; refreshes that come while one writes leave only their
// list, and the last of them is written once the pass ends.
class Writer {
public:
    Writer() { m_pool.setMaxThreadCount(1); }

    void submit(QList<WidgetSnapshotEntry> entries)
    {
        std::lock_guard guard(m_lock);
        if (m_running) {
            m_pending = std::move(entries);
            return;
        }
        m_running = true;
        m_pool.start([this, entries = std::move(entries)]() mutable {
            for (;;) {
                WidgetSnapshot::write(entries);
                std::lock_guard guard(m_lock);
                if (!m_pending) {
                    m_running = false;
                    return;
                }
                entries = std::move(*m_pending);
                m_pending.reset();
            }
        });
    }

    void waitForIdle() { m_pool.waitForDone(); }

    std::mutex &passLock() { return m_passLock; }

private:
    QThreadPool m_pool;
    std::mutex m_lock;
    bool m_running = false;
    std::optional<QList<WidgetSnapshotEntry>> m_pending;
    std::mutex m_passLock;
};

Writer &writer()
{
    static auto *instance = new Writer;
    return *instance;
}

} // namespace

std::optional<QString> WidgetSnapshot::container()
{
    const QString folder = applicationSupportFolder() + QStringLiteral("/Group");
    QDir().mkpath(folder);
    struct stat info {};
    if (::stat(QFile::encodeName(folder).constData(), &info) != 0 || !S_ISDIR(info.st_mode)
        || ::access(QFile::encodeName(folder).constData(), W_OK | X_OK) != 0)
        return std::nullopt;
    return folder;
}

QList<WidgetSnapshotEntry> WidgetSnapshot::workList(QList<Item> items, const QString &root,
                                                    const std::function<quint64(quint64)> &random)
{
    // The id becomes a file name in the widget folder.
    items.removeIf([](const Item &item) { return !isSafePathComponent(item.id); });
    const auto below = random ? random : [](quint64 bound) { return QRandomGenerator::system()->bounded(bound); };
    const qsizetype n = items.size();
    for (qsizetype i = 0; i + 1 < n; ++i) {
        const qsizetype j = i + qsizetype(below(quint64(n - i)));
        if (j != i)
            items.swapItemsAt(i, j);
    }
    QList<WidgetSnapshotEntry> entries;
    for (qsizetype i = 0; i < std::min<qsizetype>(n, kMaxItems); ++i) {
        const Item &item = items.at(i);
        WidgetSnapshotEntry entry;
        entry.id = item.id;
        entry.coverPath = libraryFilePath(root, QStringLiteral("covers"), item.thumbnailFilename).value_or(QString());
        entry.thumbnailPath =
            libraryFilePath(root, QStringLiteral("thumbnails"), item.thumbnailFilename).value_or(QString());
        entries.append(entry);
    }
    return entries;
}

void WidgetSnapshot::refresh(const LibraryStore &store, bool sync)
{
    if (bundleIdentifier().isEmpty())
        return;
    // A dozen picked by position: the records of a large library are neither
    // copied nor all visited for it. Random places first; a library mostly
    // in the trash is then walked whole.
    const QList<Item> &all = store.items();
    auto usable = [&](qsizetype i) { return !all[i].trashedAt && isSafePathComponent(all[i].id); };
    QRandomGenerator *random = QRandomGenerator::system();
    QList<Item> picked;
    QSet<qsizetype> tried;
    for (int attempt = 0; attempt < 20 * kMaxItems && picked.size() < kMaxItems && tried.size() < all.size(); ++attempt) {
        const qsizetype i = qsizetype(random->bounded(quint64(all.size())));
        if (tried.contains(i))
            continue;
        tried.insert(i);
        if (usable(i))
            picked.append(all[i]);
    }
    if (picked.size() < kMaxItems && tried.size() < all.size()) {
        std::vector<qsizetype> rest;
        for (qsizetype i = 0; i < all.size(); ++i)
            if (!tried.contains(i) && usable(i))
                rest.push_back(i);
        for (size_t i = 0; i < rest.size() && picked.size() < kMaxItems; ++i) {
            const size_t j = i + size_t(random->bounded(quint64(rest.size() - i)));
            std::swap(rest[i], rest[j]);
            picked.append(all[rest[i]]);
        }
    }
    QList<WidgetSnapshotEntry> entries = workList(picked, store.root());
    if (sync)
        write(entries);
    else
        writer().submit(std::move(entries));
}

void WidgetSnapshot::waitForIdle()
{
    writer().waitForIdle();
}

void WidgetSnapshot::write(const QList<WidgetSnapshotEntry> &entries)
{
    std::lock_guard pass(writer().passLock());
    const std::optional<QString> group = container();
    if (!group) {
        qCInfo(lcVellora).noquote() << "widget snapshot: no App Group container";
        return;
    }
    const QString target = *group + QStringLiteral("/Widget");

    // Leftovers of a pass that never finished (the process ended midway).
    const QStringList stale = QDir(*group).entryList({QStringLiteral(".Widget-*")},
                                                     QDir::AllEntries | QDir::Hidden | QDir::System);
    for (const QString &name : stale)
        removeTree(*group + QLatin1Char('/') + name);

    QByteArray pattern = QFile::encodeName(*group + QStringLiteral("/.Widget-XXXXXX"));
    if (!::mkdtemp(pattern.data())) {
        qCWarning(lcVellora).noquote() << "widget snapshot: cannot make a folder in" << *group;
        return;
    }
    ::chmod(pattern.constData(), 0755);
    const QString fresh = QFile::decodeName(pattern);

    QStringList written;
    for (const WidgetSnapshotEntry &entry : entries) {
        if (!isSafePathComponent(entry.id))
            continue;
        const QString source = !entry.coverPath.isEmpty() && isRegularFile(entry.coverPath) ? entry.coverPath
                                                                                            : entry.thumbnailPath;
        if (source.isEmpty())
            continue;
        const QImage thumbnail = downsampledImage(readSource(source), kMaxPixelSize);
        if (thumbnail.isNull())
            continue;
        const QByteArray jpeg = encodeJPEG(thumbnail, kQuality);
        if (jpeg.isEmpty())
            continue;
        const QString file = fresh + QLatin1Char('/') + entry.id + QStringLiteral(".jpg");
        if (writeNewFile(file, jpeg))
            written.append(entry.id);
        else
            QFile::remove(file);
    }
    const QByteArray index = QJsonDocument(QJsonArray::fromStringList(written)).toJson(QJsonDocument::Compact);
    writeNewFile(fresh + QStringLiteral("/index.json"), index);

    if (!swapIn(fresh, target)) {
        const int error = errno;
        qCWarning(lcVellora).noquote() << "widget snapshot: cannot replace" << target << ":"
                                       << QString::fromLocal8Bit(std::strerror(error));
        removeTree(fresh);
        return;
    }
    qCInfo(lcVellora).noquote() << QStringLiteral("widget snapshot: %1 items -> %2").arg(written.size()).arg(target);
    announce(*group);
}

} // namespace vellora
