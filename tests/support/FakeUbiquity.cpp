#include "FakeUbiquity.h"

#include <QFileInfo>

namespace vellora {

namespace {
QString key(const QString &path)
{
    return QFileInfo(path).absoluteFilePath();
}
} // namespace

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
