#include "library/StorageCap.h"

#include "platform/Clock.h"
#include "platform/Ubiquity.h"

#include <QFileInfo>

#include <algorithm>

namespace vellora {

namespace {
struct Measured {
    QString path;
    double key = 0;
    qint64 size = 0;
};
} // namespace

CapPassResult evictOriginalsAboveCap(const QList<CapCandidate> &candidates, qint64 capBytes, Ubiquity &ubiquity)
{
    QList<Measured> local;
    CapPassResult result;
    for (const CapCandidate &candidate : candidates) {
        const std::optional<UbiquityValues> values = ubiquity.values(candidate.path);
        const QFileInfo info(candidate.path);
        if (!values || !info.exists() || !info.isFile())
            continue;
        if (values->status && *values->status != DownloadStatus::Current)
            continue;
        Measured m;
        m.path = candidate.path;
        m.size = info.size();
        const QDateTime modified = info.lastModified();
        m.key = candidate.lastOpenedAt ? *candidate.lastOpenedAt : (modified.isValid() ? referenceSeconds(modified) : 0.0);
        result.remainingBytes += m.size;
        local.append(m);
    }
    if (result.remainingBytes <= capBytes)
        return result;
    std::stable_sort(local.begin(), local.end(), [](const Measured &a, const Measured &b) { return a.key < b.key; });
    for (const Measured &m : local) {
        if (result.remainingBytes <= capBytes)
            break;
        if (ubiquity.evict(m.path)) {
            result.remainingBytes -= m.size;
            ++result.evicted;
        }
    }
    return result;
}

QString storageLogLine(const CapPassResult &result, qint64 capBytes, bool iCloud)
{
    return QStringLiteral("Vellora storage: %1 MB of originals on device, cap %2 MB, iCloud %3, evicted %4")
        .arg(result.remainingBytes / kCapBytesPerMegabyte)
        .arg(capBytes / kCapBytesPerMegabyte)
        .arg(iCloud ? QStringLiteral("true") : QStringLiteral("false"))
        .arg(result.evicted);
}

} // namespace vellora
