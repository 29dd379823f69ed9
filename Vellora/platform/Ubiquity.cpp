#include "Ubiquity.h"

#include "Places.h"

#include <QFileInfo>

#include <atomic>

namespace vellora {

namespace {
std::atomic<Ubiquity *> g_current{nullptr};
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

} // namespace vellora
