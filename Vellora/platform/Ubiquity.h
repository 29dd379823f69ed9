#pragma once
// Whether a file of a synced library is on this machine, and the requests to
// download or evict it. A plain synced folder (Syncthing, Nextcloud and the
// like) keeps every file on disk: every file is current and eviction is not
// supported. Tests install a backend of their own to drive the evict and
// download paths.

#include <QString>

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

} // namespace vellora
