#pragma once
// Whether a file of a synced library is on this machine, and the requests to
// download or evict it. A plain synced folder (Syncthing, Nextcloud and the
// like) keeps every file on disk: every file is current and eviction is not
// supported. FakeUbiquity drives the evict and download paths in tests.

#include <QSet>
#include <QString>
#include <QStringList>

#include <mutex>
#include <optional>

namespace vellora {

enum class DownloadStatus { NotDownloaded, Downloaded, Current };

struct UbiquityValues {
    bool ubiquitous = false;
    // Absent for a file that is not ubiquitous.
    std::optional<DownloadStatus> status;
};

class Ubiquity {
public:
    virtual ~Ubiquity() = default;
    // Nothing when the file's values cannot be read (it does not exist).
    virtual std::optional<UbiquityValues> values(const QString &path) const = 0;
    // Asks for the file to be brought onto this machine; does not wait.
    virtual bool startDownloading(const QString &path, QString *error = nullptr) = 0;
    // Removes the local copy of a file that stays in the cloud.
    virtual bool evict(const QString &path, QString *error = nullptr) = 0;
    // Whether evict() can ever succeed here.
    virtual bool canEvict() const = 0;

    // The process-wide backend; a PlainUbiquity unless a test installed another.
    static Ubiquity &current();
    // Installs a backend (not owned); nullptr restores the plain one.
    static void setCurrent(Ubiquity *ubiquity);
};

// Files inside a cloud place count as ubiquitous and always current.
class PlainUbiquity final : public Ubiquity {
public:
    std::optional<UbiquityValues> values(const QString &path) const override;
    bool startDownloading(const QString &path, QString *error = nullptr) override;
    bool evict(const QString &path, QString *error = nullptr) override;
    bool canEvict() const override { return false; }
};

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

// Installs a backend for the life of a scope.
class ScopedUbiquity {
public:
    explicit ScopedUbiquity(Ubiquity *ubiquity) { Ubiquity::setCurrent(ubiquity); }
    ~ScopedUbiquity() { Ubiquity::setCurrent(nullptr); }
    ScopedUbiquity(const ScopedUbiquity &) = delete;
    ScopedUbiquity &operator=(const ScopedUbiquity &) = delete;
};

} // namespace vellora
