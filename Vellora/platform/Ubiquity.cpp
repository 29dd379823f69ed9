#include "Ubiquity.h"

#include "Places.h"

#include <QFileInfo>

#include <atomic>

namespace vellora {

namespace {
std::atomic<Ubiquity *> g_current{nullptr};

QString key(const QString &path)
{
    return QFileInfo(path).absoluteFilePath();
}
} // namespace

Ubiquity &Ubiquity::current()
{
    static PlainUbiquity plain;
    Ubiquity *installed = g_current.load();
    return installed ? *installed : plain;
}

void Ubiquity::setCurrent(Ubiquity *ubiquity)
{
    g_current.store(ubiquity);
}

std::optional<UbiquityValues> PlainUbiquity::values(const QString &path) const
{
    if (!QFileInfo::exists(path))
        return std::nullopt;
    UbiquityValues result;
    if (CloudPlaces::contains(path)) {
        result.ubiquitous = true;
        result.status = DownloadStatus::Current;
    }
    return result;
}

bool PlainUbiquity::startDownloading(const QString &path, QString *error)
{
    // Nothing to fetch: the sync client keeps every file on disk.
    if (QFileInfo::exists(path))
        return true;
    if (error)
        *error = QStringLiteral("no such file");
    return false;
}

bool PlainUbiquity::evict(const QString &, QString *error)
{
    if (error)
        *error = QStringLiteral("eviction is not supported by this sync folder");
    return false;
}

std::optional<UbiquityValues> FakeUbiquity::values(const QString &path) const
{
    std::lock_guard lock(m_mutex);
    const QString k = key(path);
    const bool notDownloaded = m_notDownloaded.contains(k);
    if (!notDownloaded && !QFileInfo::exists(path))
        return std::nullopt;
    UbiquityValues result;
    if (m_local.contains(k))
        return result;
    result.ubiquitous = true;
    result.status = notDownloaded ? DownloadStatus::NotDownloaded : DownloadStatus::Current;
    return result;
}

bool FakeUbiquity::startDownloading(const QString &path, QString *)
{
    std::lock_guard lock(m_mutex);
    m_downloads.append(key(path));
    return true;
}

bool FakeUbiquity::evict(const QString &path, QString *error)
{
    std::lock_guard lock(m_mutex);
    const QString k = key(path);
    if (m_failEviction.contains(k) || m_local.contains(k)) {
        if (error)
            *error = QStringLiteral("eviction failed");
        return false;
    }
    m_notDownloaded.insert(k);
    m_evictions.append(k);
    return true;
}

void FakeUbiquity::markNotDownloaded(const QString &path)
{
    std::lock_guard lock(m_mutex);
    m_notDownloaded.insert(key(path));
}

void FakeUbiquity::markCurrent(const QString &path)
{
    std::lock_guard lock(m_mutex);
    m_notDownloaded.remove(key(path));
}

void FakeUbiquity::markLocal(const QString &path)
{
    std::lock_guard lock(m_mutex);
    m_local.insert(key(path));
}

void FakeUbiquity::failEvictionOf(const QString &path)
{
    std::lock_guard lock(m_mutex);
    m_failEviction.insert(key(path));
}

QStringList FakeUbiquity::downloadRequests() const
{
    std::lock_guard lock(m_mutex);
    return m_downloads;
}

QStringList FakeUbiquity::evictions() const
{
    std::lock_guard lock(m_mutex);
    return m_evictions;
}

} // namespace vellora
