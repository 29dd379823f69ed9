#include "Drops.h"

#include "library/LinkParser.h"
#include "platform/Clock.h"
#include "platform/Defaults.h"
#include "platform/FileCoordination.h"
#include "platform/FileCopy.h"
#include "platform/IntakeFile.h"
#include "library/Media.h"
#include "library/SafeNames.h"
#include "platform/Logging.h"
#include "platform/Scheduler.h"
#include "platform/Uuid.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QStringDecoder>

#include <cerrno>
#include <dirent.h>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace vellora {

namespace {

const QString kInfix = QString::fromLatin1(kClaimInfix);
const QString kLinkSuffix = QStringLiteral(".url.txt");
// A shared address or text; anything larger is not something to read whole.
constexpr qint64 kMaxLinkDropBytes = 1 << 20;
// An imported drop whose library could not be saved waits this long.
constexpr double kUnsavedRetryDelay = 30.0;

QByteArray nativePath(const QString &path) { return QFile::encodeName(path); }

// rename() that never replaces an existing file: a claim must not clobber
// another claim, and a released drop must not clobber a new drop.
bool renameNoReplace(const QString &from, const QString &to)
{
    const QByteArray source = nativePath(from);
    const QByteArray target = nativePath(to);
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // A filesystem without RENAME_NOREPLACE: a hard link fails on an existing
    // name just the same, and only one of two racing links can win.
    if (::link(source.constData(), target.constData()) != 0)
        return false;
    if (::unlink(source.constData()) != 0) {
        ::unlink(target.constData());
        return false;
    }
    return true;
}

struct Entry {
    QString name;
    bool regular = false;
    double modified = 0;  // reference seconds
    qint64 size = 0;
};

std::optional<Entry> statEntry(const QString &folder, const QString &name)
{
    struct stat st;
    if (::lstat(nativePath(folder + QLatin1Char('/') + name).constData(), &st) != 0)
        return std::nullopt;
    Entry entry;
    entry.name = name;
    entry.regular = S_ISREG(st.st_mode);
    entry.modified = double(st.st_mtim.tv_sec) + double(st.st_mtim.tv_nsec) / 1e9 - kReferenceDateOffset;
    entry.size = qint64(st.st_size);
    return entry;
}

void setModifiedNow(const QString &path)
{
    const double unixSeconds = now() + kReferenceDateOffset;
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = time_t(std::floor(unixSeconds));
    times[1].tv_nsec = long((unixSeconds - std::floor(unixSeconds)) * 1e9);
    // Never through a link: the time of a file elsewhere is none of ours.
    ::utimensat(AT_FDCWD, nativePath(path).constData(), times, AT_SYMLINK_NOFOLLOW);
}

bool isSafeComponent(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
        && !name.contains(QLatin1Char('/')) && !name.contains(QChar(0));
}

// Passing failures remembered per drop, so that a drop that keeps failing is
// not claimed, released and claimed again in a tight loop by the folder
// watcher, and is rejected once it has failed kDropMaxAttempts times.
struct Attempts {
    int failures = 0;
    double notBefore = 0;
};
std::mutex g_attemptsLock;
QHash<QString, Attempts> g_attempts;

double backoffAfter(int failures) { return 5.0 * failures; }

class Scan {
public:
    Scan(const DropsScanRequest &request, DropsLibrary &library)
        : m_request(request), m_library(library)
    {
        m_folder = QDir::cleanPath(QFileInfo(request.folder).absoluteFilePath());
        m_rejected = request.rejectedFolder.isEmpty() ? rejectedDirectoryFor(m_folder) : request.rejectedFolder;
    }

    struct Claim {
        QString dropName;
        QString path;
        // Size and time of the claimed file right after the claim: a drop
        // that differs later was still being written, and is never removed.
        qint64 size = -1;
        qint64 modifiedNs = 0;
    };
    struct PendingLink {
        Claim claim;
        QString url;
    };

    void runOnWorker()
    {
        const double start = now();
        const std::vector<Entry> entries = list();
        releaseStaleClaims(entries, start);

        std::vector<Claim> claims;
        for (const Entry &entry : entries) {
            if (!isReady(entry, start))
                continue;
            auto claimed = claimDrop(m_folder + QLatin1Char('/') + entry.name, m_request.claimMarker);
            if (!claimed)
                continue;
            Claim claim{entry.name, *claimed};
            // The writer may have taken its lock between the look and the
            // claim: hand the drop back untouched.
            if (writerHoldsLock(entry.name)) {
                if (renameNoReplace(claim.path, key(claim.dropName)))
                    wait(kDropLockRetryTime);
                continue;
            }
            stampClaim(claim);
            claims.push_back(claim);
        }
        m_report.claimed = int(claims.size());

        std::vector<Claim> pictures;
        std::vector<Claim> links;
        for (const Claim &claim : claims)
            (claim.dropName.endsWith(kLinkSuffix) ? links : pictures).push_back(claim);

        importPictures(pictures);
        readLinks(links);
    }

    // Main thread.
    void finishOnMain(std::function<void(const DropsScanReport &)> completion, const std::shared_ptr<Scan> &self)
    {
        m_completion = std::move(completion);
        for (const PendingLink &link : m_links) {
            const QString id = m_library.addLink(link.url, m_request.boardId);
            if (id.isEmpty()) {
                failed(link.claim, QStringLiteral("link not added"));
                continue;
            }
            m_linkIds.push_back(id);
            succeeded(link.claim);
        }
        if (m_done.empty()) {
            finishImport(self);
            return;
        }
        // The save runs on the store's writer; the drops wait for its outcome.
        m_library.commit([self](bool durable) {
            self->settle(durable);
            self->finishImport(self);
        });
    }

private:
    void finishImport(const std::shared_ptr<Scan> &self)
    {
        if (m_report.claimed > 0)
            qCInfo(lcSync, "drops: imported %d", m_report.imported);
        fetchFrom(0, self);
    }

    // One link after another, as the link road fetches pages one at a time.
    void fetchFrom(size_t index, const std::shared_ptr<Scan> &self)
    {
        if (index < m_linkIds.size()) {
            m_library.fetchLinkMetadata(m_linkIds[index], [self, index] { self->fetchFrom(index + 1, self); });
            return;
        }
        m_library.endImport();
        if (m_completion)
            m_completion(m_report);
    }

    std::vector<Entry> list() const
    {
        std::vector<Entry> entries;
        const QDir dir(m_folder);
        if (!dir.exists())
            return entries;
        renameUndecodableNames();
        const QStringList names = dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                                QDir::Name);
        for (const QString &name : names)
            if (auto entry = statEntry(m_folder, name))
                entries.push_back(*entry);
        return entries;
    }

    // A name that is not valid UTF-8 cannot be named again through a
    // QString: such a drop gets a readable name of its own first ("_" for
    // each undecodable byte), never overwriting another drop.
    void renameUndecodableNames() const
    {
        DIR *dir = ::opendir(nativePath(m_folder).constData());
        if (!dir)
            return;
        std::vector<QByteArray> undecodable;
        while (const dirent *entry = ::readdir(dir)) {
            const QByteArray raw(entry->d_name);
            auto decoder = QStringDecoder(QStringDecoder::Utf8);
            (void)QString(decoder.decode(raw));
            if (decoder.hasError())
                undecodable.push_back(raw);
        }
        ::closedir(dir);
        for (const QByteArray &raw : undecodable) {
            QString name = QString::fromUtf8(raw);
            name.replace(QChar::ReplacementCharacter, QLatin1Char('_'));
            const QByteArray from = nativePath(m_folder) + '/' + raw;
            const QByteArray to = nativePath(m_folder + QLatin1Char('/') + name);
            ::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE);
        }
    }

    void releaseStaleClaims(const std::vector<Entry> &entries, double start)
    {
        for (const Entry &entry : entries) {
            if (!entry.name.contains(kInfix) || !entry.regular)
                continue;
            // Look again right before acting: the listing may be old by now,
            // and a claim renewed since must not be taken from its owner.
            const auto fresh = statEntry(m_folder, entry.name);
            if (!fresh || !fresh->regular || fresh->modified >= start - kDropClaimMaxAge)
                continue;
            const QString dropName = dropNameOfClaim(entry.name);
            if (!isSafeComponent(dropName))
                continue;
            if (renameNoReplace(m_folder + QLatin1Char('/') + entry.name, m_folder + QLatin1Char('/') + dropName))
                ++m_report.staleReleased;
        }
    }

    bool isReady(const Entry &entry, double start)
    {
        if (entry.name.startsWith(QLatin1Char('.')) || entry.name.contains(kInfix))
            return false;
        // Folders, links and devices are none of the share program's doing.
        if (!entry.regular)
            return false;
        // A drop is complete once it has its name: the share program writes
        // a dot-name and renames it. Only one that failed before waits.
        double waitFor = 0.0;
        {
            std::lock_guard guard(g_attemptsLock);
            auto it = g_attempts.constFind(key(entry.name));
            if (it != g_attempts.constEnd())
                waitFor = std::max(waitFor, it->notBefore - start);
        }
        if (waitFor > 0) {
            wait(waitFor);
            return false;
        }
        // A writer that holds the drop's coordination lock is not done,
        // however long it pauses.
        if (writerHoldsLock(entry.name)) {
            wait(kDropLockRetryTime);
            return false;
        }
        return m_library.ensureDownloaded(m_folder + QLatin1Char('/') + entry.name);
    }

    // True while another process holds the coordination lock of the drop
    // name exclusively (the share program writing it). No lock file: no writer.
    bool writerHoldsLock(const QString &dropName) const
    {
        const QString lock = coordinationLockPath(key(dropName));
        const int fd = ::open(nativePath(lock).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0)
            return false;
        bool held = false;
        struct stat st;
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
            if (::flock(fd, LOCK_SH | LOCK_NB) != 0)
                held = errno == EWOULDBLOCK;
            else
                ::flock(fd, LOCK_UN);
        }
        ::close(fd);
        return held;
    }

    void stampClaim(Claim &claim) const
    {
        struct stat st;
        if (::lstat(nativePath(claim.path).constData(), &st) == 0) {
            claim.size = qint64(st.st_size);
            claim.modifiedNs = qint64(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
        }
    }

    // True when the claimed file is still exactly what was claimed.
    bool unchanged(const Claim &claim) const
    {
        Claim now = claim;
        now.size = -2;
        stampClaim(now);
        return now.size == claim.size && now.modifiedNs == claim.modifiedNs;
    }

    void wait(double seconds)
    {
        ++m_report.waiting;
        if (m_report.retryAfter < 0 || seconds < m_report.retryAfter)
            m_report.retryAfter = seconds;
    }

    QString key(const QString &dropName) const { return m_folder + QLatin1Char('/') + dropName; }

    // The claimed file as it stands now. A link, a FIFO, a device or an
    // oversized file is rejected for good; anything else that keeps it from
    // opening counts as a failure worth another try.
    std::optional<IntakeFile> openClaim(const Claim &claim, qint64 maxBytes)
    {
        IntakeError why;
        auto source = IntakeFile::open(claim.path, LinkPolicy::Refuse, maxBytes, &why);
        if (!source) {
            if (why.kind == IntakeError::Kind::Unopenable)
                failed(claim, QStringLiteral("could not be read"));
            else
                reject(claim, why.text);
        }
        return source;
    }

    void importPictures(const std::vector<Claim> &pictures)
    {
        if (pictures.empty())
            return;
        const QString staging = QDir::tempPath() + QStringLiteral("/drops-") + newUUIDString();
        QDir().mkpath(staging);
        for (const Claim &claim : pictures) {
            const auto entry = statEntry(m_folder, QFileInfo(claim.path).fileName());
            if (!entry) {
                failed(claim, QStringLiteral("claimed file vanished"));
                continue;
            }
            if (entry->size == 0) {
                removeEmpty(claim);
                continue;
            }
            const QString staged = staging + QLatin1Char('/') + claim.dropName;
            // Whatever stands at the claimed name now is what gets read: a
            // link (to a picture outside), a FIFO or a device is refused.
            const auto source = openClaim(claim, kMaxPictureBytes);
            if (!source)
                continue;
            if (!source->copyTo(staged)) {
                failed(claim, QStringLiteral("could not be staged"));
                continue;
            }
            const DropImport outcome = m_library.importPicture(staged, m_request.boardId);
            QFile::remove(staged);
            switch (outcome) {
            case DropImport::Imported:
            case DropImport::Duplicate:
                succeeded(claim);
                break;
            case DropImport::Empty:
                removeEmpty(claim);
                break;
            case DropImport::NotAPicture:
                reject(claim, QStringLiteral("not a picture"));
                break;
            case DropImport::Failed:
                failed(claim, QStringLiteral("import failed"));
                break;
            }
        }
        QDir(staging).removeRecursively();
    }

    void readLinks(const std::vector<Claim> &links)
    {
        for (const Claim &claim : links) {
            const auto source = openClaim(claim, kMaxLinkDropBytes);
            if (!source)
                continue;
            const auto read = source->readAll();
            if (!read) {
                failed(claim, QStringLiteral("could not be read"));
                continue;
            }
            const QByteArray &bytes = *read;
            auto decoder = QStringDecoder(QStringDecoder::Utf8);
            const QString text = decoder.decode(bytes);
            if (decoder.hasError()) {
                reject(claim, QStringLiteral("not UTF-8 text"));
                continue;
            }
            if (text.trimmed().isEmpty()) {
                removeEmpty(claim);
                continue;
            }
            const auto url = normalizedLinkURL(text);
            if (!url) {
                reject(claim, QStringLiteral("not a link"));
                continue;
            }
            m_links.push_back({claim, *url});
        }
    }

    void forget(const Claim &claim)
    {
        std::lock_guard guard(g_attemptsLock);
        g_attempts.remove(key(claim.dropName));
    }

    // The library holds the drop now, but only in memory: it is removed
    // once the library is saved (settle()).
    void succeeded(const Claim &claim)
    {
        ++m_report.imported;
        forget(claim);
        m_done.push_back(claim);
    }

    // Main thread, once the library was saved (or could not be).
    void settle(bool durable)
    {
        for (const Claim &claim : m_done) {
            if (durable && unchanged(claim)) {
                if (!QFile::remove(claim.path))
                    qCWarning(lcSync, "drops: could not remove %s", qUtf8Printable(claim.path));
                continue;
            }
            // Not saved, or written to since it was claimed: the drop stays
            // and a later scan takes it again (then as a duplicate of what
            // the library holds by that time, or as the complete file).
            if (!durable) {
                std::lock_guard guard(g_attemptsLock);
                g_attempts[key(claim.dropName)].notBefore = now() + kUnsavedRetryDelay;
            }
            if (renameNoReplace(claim.path, key(claim.dropName)))
                ++m_report.kept;
            qCWarning(lcSync, "drops: %s kept, %s", qUtf8Printable(claim.dropName),
                      durable ? "it changed while it was imported" : "the library could not be saved");
        }
        m_done.clear();
    }

    void removeEmpty(const Claim &claim)
    {
        if (!unchanged(claim)) {
            handBack(claim);
            return;
        }
        ++m_report.removedEmpty;
        forget(claim);
        QFile::remove(claim.path);
    }

    // A drop that changed since the claim was still being written.
    void handBack(const Claim &claim)
    {
        if (renameNoReplace(claim.path, key(claim.dropName))) {
            ++m_report.released;
            wait(kDropLockRetryTime);
        }
    }

    void failed(const Claim &claim, const QString &reason)
    {
        int failures;
        {
            std::lock_guard guard(g_attemptsLock);
            Attempts &attempts = g_attempts[key(claim.dropName)];
            failures = ++attempts.failures;
            attempts.notBefore = now() + backoffAfter(failures);
        }
        if (failures >= kDropMaxAttempts) {
            reject(claim, reason + QStringLiteral(", %1 times").arg(failures));
            return;
        }
        if (renameNoReplace(claim.path, key(claim.dropName))) {
            ++m_report.released;
            wait(backoffAfter(failures));
            qCInfo(lcSync, "drops: %s %s, will try again", qUtf8Printable(claim.dropName), qUtf8Printable(reason));
        } else {
            // Left claimed: any scan releases it once it is older than the limit.
            qCWarning(lcSync, "drops: %s %s and could not be released", qUtf8Printable(claim.dropName),
                      qUtf8Printable(reason));
        }
    }

    void reject(const Claim &claim, const QString &reason)
    {
        if (claim.size >= 0 && !QFileInfo(claim.path).isSymLink() && !unchanged(claim)) {
            handBack(claim);
            return;
        }
        forget(claim);
        QDir().mkpath(m_rejected);
        const QFileInfo name(claim.dropName);
        const QString base = name.completeBaseName();
        const QString suffix = name.suffix().isEmpty() ? QString() : QLatin1Char('.') + name.suffix();
        for (int n = 1; n < 1000; ++n) {
            const QString target = m_rejected + QLatin1Char('/')
                + (n == 1 ? claim.dropName : QStringLiteral("%1 %2%3").arg(base).arg(n).arg(suffix));
            if (renameNoReplace(claim.path, target)) {
                ++m_report.rejected;
                qCWarning(lcSync, "drops: rejected %s (%s), moved to %s", qUtf8Printable(claim.dropName),
                          qUtf8Printable(reason), qUtf8Printable(target));
                return;
            }
            if (errno != EEXIST)
                break;
        }
        qCWarning(lcSync, "drops: rejected %s (%s) but could not move it aside", qUtf8Printable(claim.dropName),
                  qUtf8Printable(reason));
    }

    DropsScanRequest m_request;
    DropsLibrary &m_library;
    QString m_folder;
    QString m_rejected;
    DropsScanReport m_report;
    std::vector<PendingLink> m_links;
    std::vector<Claim> m_done;
    std::vector<QString> m_linkIds;
    std::function<void(const DropsScanReport &)> m_completion;
};

QString g_deviceId;
std::once_flag g_deviceIdOnce;

} // namespace

QString loadDeviceId(Defaults &defaults)
{
    const QString stored = defaults.string(QStringLiteral("deviceId"));
    if (!stored.isEmpty())
        return stored;
    const QString made = newUUIDString().left(8);
    defaults.set(QStringLiteral("deviceId"), made);
    defaults.sync();
    return made;
}

QString dropsDeviceId()
{
    std::call_once(g_deviceIdOnce, [] { g_deviceId = loadDeviceId(Defaults::standard()); });
    return g_deviceId;
}

QString claimMarkerFor(const QString &deviceId) { return kInfix + deviceId; }

QString dropsClaimMarker() { return claimMarkerFor(dropsDeviceId()); }

QString dropsDirectoryFor(const QString &root, const std::optional<QString> &containerDataFolder, bool rootFromEnvironment)
{
    if (!rootFromEnvironment && containerDataFolder && !containerDataFolder->isEmpty())
        return QDir(*containerDataFolder).filePath(QStringLiteral("Drops"));
    return QDir(root).filePath(QStringLiteral("Drops"));
}

QString rejectedDirectoryFor(const QString &dropsFolder)
{
    const QFileInfo info(QDir::cleanPath(QFileInfo(dropsFolder).absoluteFilePath()));
    return info.absolutePath() + QStringLiteral("/Rejected");
}

std::optional<QString> claimDrop(const QString &dropPath, const QString &claimMarker)
{
    const QString claimed = dropPath + claimMarker;
    if (!renameNoReplace(dropPath, claimed))
        return std::nullopt;
    setModifiedNow(claimed);
    return claimed;
}

QString dropNameOfClaim(const QString &claimName)
{
    const qsizetype at = claimName.indexOf(kInfix);
    return at < 0 ? claimName : claimName.left(at);
}

void ingestDrops(const DropsScanRequest &request, DropsLibrary &library,
                 std::function<void(const DropsScanReport &)> completion)
{
    auto scan = std::make_shared<Scan>(request, library);
    scan->runOnWorker();
    Scheduler::main().post([scan, completion = std::move(completion)]() mutable {
        scan->finishOnMain(std::move(completion), scan);
    });
}

void resetDropAttempts()
{
    std::lock_guard guard(g_attemptsLock);
    g_attempts.clear();
}

namespace {

void syncPath(const QString &path, int flags)
{
    const int fd = ::open(nativePath(path).constData(), flags | O_CLOEXEC);
    if (fd < 0)
        return;
    while (::fsync(fd) != 0 && errno == EINTR) {
    }
    ::close(fd);
}

// Names the written hidden file as the drop, never over an existing drop;
// a taken name gets a number, as a file manager's copy does.
std::optional<QString> nameDrop(const QString &folder, const QString &temporary, const QString &name, QString *why)
{
    const QFileInfo info(name);
    const QString base = info.completeBaseName();
    const QString suffix = info.suffix().isEmpty() ? QString() : QLatin1Char('.') + info.suffix();
    for (int n = 1; n <= 1000; ++n) {
        const QString candidate = n == 1 ? name : QStringLiteral("%1 %2%3").arg(base).arg(n).arg(suffix);
        const QString target = folder + QLatin1Char('/') + candidate;
        if (renameNoReplace(temporary, target)) {
            syncPath(folder, O_RDONLY | O_DIRECTORY);
            return target;
        }
        if (errno != EEXIST)
            break;
    }
    const QString reason = QString::fromLocal8Bit(std::strerror(errno));
    ::unlink(nativePath(temporary).constData());
    if (why)
        *why = QStringLiteral("cannot name the drop in %1: %2").arg(folder, reason);
    return std::nullopt;
}

QString hiddenDropName() { return QStringLiteral(".") + newUUIDString() + QStringLiteral(".writing"); }

bool makeDropsFolder(const QString &folder, QString *why)
{
    if (QDir().mkpath(folder) && QFileInfo(folder).isDir())
        return true;
    if (why)
        *why = QStringLiteral("cannot make the drops folder %1").arg(folder);
    return false;
}

} // namespace

std::optional<QString> keepPictureAsDrop(const QString &folder, const QString &file, QString *why)
{
    IntakeError error;
    const std::optional<IntakeFile> source = IntakeFile::open(file, LinkPolicy::Refuse, kMaxPictureBytes, &error);
    if (!source) {
        if (why)
            *why = error.text;
        return std::nullopt;
    }
    if (!makeDropsFolder(folder, why))
        return std::nullopt;
    // A name the scan would take for something else (hidden, a claim, a
    // link) is not kept.
    QString name = QFileInfo(file).fileName();
    if (!isSafePathComponent(name) || name.startsWith(QLatin1Char('.')) || name.contains(kInfix)
        || name.endsWith(kLinkSuffix))
        name = newUUIDString();
    const QString temporary = folder + QLatin1Char('/') + hiddenDropName();
    if (!source->copyTo(temporary)) {
        if (why)
            *why = QStringLiteral("cannot copy %1 into %2").arg(file, folder);
        return std::nullopt;
    }
    syncPath(temporary, O_RDONLY);
    return nameDrop(folder, temporary, name, why);
}

std::optional<QString> keepLinkAsDrop(const QString &folder, const QString &url, QString *why)
{
    if (!makeDropsFolder(folder, why))
        return std::nullopt;
    const QString temporary = folder + QLatin1Char('/') + hiddenDropName();
    QFile out(temporary);
    if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly) || out.write(url.toUtf8()) < 0 || !out.flush()) {
        if (why)
            *why = QStringLiteral("cannot write in %1: %2").arg(folder, out.errorString());
        out.remove();
        return std::nullopt;
    }
    while (::fsync(out.handle()) != 0 && errno == EINTR) {
    }
    out.close();
    return nameDrop(folder, temporary, newUUIDString() + kLinkSuffix, why);
}

} // namespace vellora
