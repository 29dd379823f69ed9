#pragma once
// A ubiquity backend whose files the test marks downloaded, evicted or local.

#include "platform/Ubiquity.h"

#include <QSet>
#include <QString>
#include <QStringList>

#include <mutex>

namespace vellora {

// Every existing file is ubiquitous and current until the test says otherwise.
// evict() marks a file not downloaded; startDownloading() records the request.
// Thread-safe: the store's background passes call it.
class FakeUbiquity final : public Ubiquity {
public:
    std::optional<UbiquityValues> values(const QString &path) const override;
    bool startDownloading(const QString &path, QString *error = nullptr) override;
    bool evict(const QString &path, QString *error = nullptr) override;
    bool canEvict() const override { return true; }

    void markNotDownloaded(const QString &path);
    void markCurrent(const QString &path);
    // Files that are not ubiquitous at all (plain local files).
    void markLocal(const QString &path);
    void failEvictionOf(const QString &path);

    QStringList downloadRequests() const;
    QStringList evictions() const;

private:
    mutable std::mutex m_mutex;
    QSet<QString> m_notDownloaded;
    QSet<QString> m_local;
    QSet<QString> m_failEviction;
    QStringList m_downloads;
    QStringList m_evictions;
};

} // namespace vellora
