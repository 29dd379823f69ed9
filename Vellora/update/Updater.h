#pragma once
// The self-updater: one feed check, one install at a time, one status text
// that the banner, the settings section and "--update" all show.

#include "Appcast.h"
#include "Minisign.h"

#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QUrl>
#include <functional>
#include <optional>

class QNetworkAccessManager;
class QTimer;

namespace vellora {

class Defaults;

class Updater : public QObject {
    Q_OBJECT
public:
    // What one request may bring and how long it may take, whatever pace
    // the server keeps.
    struct Limits {
        qint64 feedBytes = 1 << 20;
        qint64 signatureBytes = 8 << 10;
        qint64 archiveBytes = qint64(1) << 30;
        int requestDeadlineMs = 60 * 1000;      // the feed and the signature, whole
        int archiveDeadlineMs = 30 * 60 * 1000; // the archive, whole
        int silenceMs = 60 * 1000;              // the archive, between two pieces
    };

    // The process-wide updater on the standard defaults, trusting the keys the
    // build compiled in.
    static Updater &shared();

    Updater(Defaults &defaults, qint64 runningBuild, QList<MinisignPublicKey> trustedKeys,
            QObject *parent = nullptr);
    ~Updater() override;

    std::optional<Appcast> available() const { return m_available; }
    std::optional<QString> status() const { return m_status; }
    bool busy() const { return m_busy; }
    // The last install failed, and its release is still the one on offer.
    bool installFailed() const { return m_installFailed; }
    bool dismissed() const { return m_dismissed; }
    std::optional<QDateTime> lastChecked() const { return m_lastChecked; }
    bool relaunches() const { return m_relaunches; }
    bool started() const { return m_started; }
    // How much of the download has arrived, 0…1; nothing while not downloading.
    std::optional<double> downloadProgress() const { return m_progress; }
    // The banner shows while not dismissed and something is on offer or said.
    bool bannerVisible() const { return !m_dismissed && (m_available || m_status); }

    void setDismissed(bool dismissed);
    void setRelaunches(bool relaunches) { m_relaunches = relaunches; }
    // Tests: the system version compared with a release's minimum.
    void setSystemVersion(const QString &version) { m_systemVersion = version; }
    void setLimits(const Limits &limits) { m_limits = limits; }

    QUrl appcastURL() const;
    QString targetPath() const;

    // One check; `done` runs on this thread when it has ended, whatever happened.
    void check(bool userInitiated, std::function<void()> done = {});
    // Downloads, verifies and installs what is on offer; `done` gets whether it
    // was installed. Refused at once (false) with nothing on offer or while busy.
    void install(std::function<void(bool)> done = {});
    // The daily check, 10 s after the first call; later calls do nothing.
    void scheduleChecks();

signals:
    void statusChanged();
    void availableChanged();
    void busyChanged();
    void installFailedChanged();
    void dismissedChanged();
    void lastCheckedChanged();
    void downloadProgressChanged();
    // Asked to quit after a relaunch was started.
    void relaunchStarted();

private:
    struct InstallRun;
    void setStatus(const std::optional<QString> &status);
    void setAvailable(const std::optional<Appcast> &available);
    void setBusy(bool busy);
    void setInstallFailed(bool failed);
    void setProgress(std::optional<double> progress);
    void step(const QString &text); // status, then the same behind "[update] "
    bool networkAllowed(const QUrl &url) const;
    // `failure` says why when there is no `release`; `statusText`, when
    // given, is shown as it stands instead.
    void finishCheck(bool userInitiated, const std::optional<Appcast> &release, const QString &failure,
                     const std::function<void()> &done, const QString &statusText = {});
    void runDownload(std::shared_ptr<InstallRun> run);
    void runSignature(std::shared_ptr<InstallRun> run);
    void runVerify(std::shared_ptr<InstallRun> run);
    void runUnpack(std::shared_ptr<InstallRun> run);
    void runReplace(std::shared_ptr<InstallRun> run);
    void fail(std::shared_ptr<InstallRun> run, const QString &message);

    Defaults &m_defaults;
    qint64 m_runningBuild;
    QList<MinisignPublicKey> m_trustedKeys;
    QNetworkAccessManager *m_network;
    QTimer *m_schedule = nullptr;
    QString m_systemVersion;
    Limits m_limits;
    std::optional<Appcast> m_available;
    std::optional<QString> m_status;
    std::optional<QDateTime> m_lastChecked;
    std::optional<double> m_progress;
    bool m_busy = false;
    bool m_installFailed = false;
    bool m_dismissed = false;
    bool m_relaunches = true;
    bool m_started = false;
};

// The public keys the build trusts for releases.
QList<MinisignPublicKey> compiledUpdateKeys();

} // namespace vellora
