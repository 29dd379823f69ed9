#include "Updater.h"

#include "BundleManifest.h"
#include "InstallSteps.h"
#include "ReleaseArchive.h"

#include "platform/Console.h"
#include "platform/Defaults.h"
#include "platform/Digest.h"
#include "platform/Places.h"
#include "platform/Uuid.h"
#include "platform/WebAddress.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

namespace vellora {

namespace {

const QString kETagKey = QStringLiteral("updaterETag");
const QString kAppcastKey = QStringLiteral("updaterAppcast");
const QString kLastCheckedKey = QStringLiteral("updaterLastChecked");
const QString kFeedKey = QStringLiteral("VELLORA_APPCAST_URL");
const QString kTargetKey = QStringLiteral("VELLORA_UPDATE_TARGET");
const QString kDefaultFeed = QStringLiteral("https://updates.quendle.com/appcast.json");

constexpr int kFirstCheckDelayMs = 10 * 1000;
constexpr int kCheckIntervalMs = 86400 * 1000;
// Bounds Qt's own buffer: what arrives is taken out as it comes.
constexpr qint64 kReadBuffer = 1 << 20;

QString unreadableFeed(const AppcastDecodeResult &decoded)
{
    return QStringLiteral("The update feed can't be read: %1.").arg(decoded.error);
}

qint64 buildFromText(const char *text)
{
    bool ok = false;
    const qint64 value = QByteArray(text).toLongLong(&ok);
    return ok ? value : 0;
}

struct FetchOutcome {
    enum Kind { Done, TooLarge, TimedOut, Silent, SinkFailed, Failed } kind = Failed;
    int httpStatus = 0;
    QString error; // the network's own words, for Failed
    QByteArray body; // without a sink
    QByteArray etag;
};

struct FetchLimits {
    qint64 maxBytes = 0;
    int deadlineMs = 0; // the whole request
    int silenceMs = 0;  // between two pieces
};

// One GET whose size is capped while it streams and whose whole duration is
// bounded, whatever pace the server keeps. `sink` takes each piece (the body
// is kept in memory without one) and answers false to stop.
void fetch(QNetworkAccessManager &network, QNetworkRequest request, const FetchLimits &limits, QObject *context,
           std::function<bool(const QByteArray &)> sink, std::function<void(qint64, qint64)> progress,
           std::function<void(FetchOutcome)> done)
{
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    QNetworkReply *reply = network.get(request);
    reply->setReadBufferSize(kReadBuffer);
    struct State {
        FetchOutcome outcome;
        std::optional<FetchOutcome::Kind> stopped;
        qint64 received = 0;
        bool heard = false;
    };
    auto state = std::make_shared<State>();
    auto *deadline = new QTimer(reply);
    deadline->setSingleShot(true);
    auto *silence = new QTimer(reply);
    silence->setSingleShot(true);
    auto stop = [reply, state](FetchOutcome::Kind kind) {
        if (state->stopped)
            return;
        state->stopped = kind;
        reply->abort();
    };
    auto timedOut = [state, stop] { stop(state->heard ? FetchOutcome::TimedOut : FetchOutcome::Silent); };
    QObject::connect(deadline, &QTimer::timeout, context, timedOut);
    QObject::connect(silence, &QTimer::timeout, context, timedOut);
    deadline->start(limits.deadlineMs);
    silence->start(limits.silenceMs);
    auto take = [reply, state, stop, limits, sink, progress](const QByteArray &piece) {
        if (state->stopped || piece.isEmpty())
            return;
        state->received += piece.size();
        if (state->received > limits.maxBytes) {
            stop(FetchOutcome::TooLarge);
            return;
        }
        if (sink) {
            if (!sink(piece)) {
                stop(FetchOutcome::SinkFailed);
                return;
            }
        } else {
            state->outcome.body += piece;
        }
        if (progress)
            progress(state->received, reply->header(QNetworkRequest::ContentLengthHeader).toLongLong());
    };
    QObject::connect(reply, &QNetworkReply::metaDataChanged, context, [reply, state, stop, silence, limits] {
        state->heard = true;
        silence->start(limits.silenceMs);
        // Refused before the first byte when the server says how much is coming.
        if (reply->header(QNetworkRequest::ContentLengthHeader).toLongLong() > limits.maxBytes)
            stop(FetchOutcome::TooLarge);
    });
    QObject::connect(reply, &QNetworkReply::readyRead, context, [reply, state, take, silence, limits] {
        state->heard = true;
        silence->start(limits.silenceMs);
        take(reply->readAll());
    });
    QObject::connect(reply, &QNetworkReply::finished, context, [reply, state, take, done, deadline, silence] {
        reply->deleteLater();
        deadline->stop();
        silence->stop();
        if (!state->stopped)
            take(reply->readAll());
        FetchOutcome outcome = std::move(state->outcome);
        outcome.httpStatus = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        outcome.etag = reply->rawHeader("ETag");
        // A status other than 200 is an answer for the caller to judge; a
        // 200 cut short, or no answer at all, is a failure of the transfer.
        const bool answered = outcome.httpStatus != 0 && outcome.httpStatus != 200;
        if (state->stopped)
            outcome.kind = *state->stopped;
        else if (reply->error() == QNetworkReply::NoError || answered)
            outcome.kind = FetchOutcome::Done;
        else
            outcome.kind = FetchOutcome::Failed;
        if (outcome.kind == FetchOutcome::Failed)
            outcome.error = reply->errorString();
        done(std::move(outcome));
    });
}

QString unanswered(FetchOutcome::Kind kind)
{
    return kind == FetchOutcome::Silent ? QStringLiteral("The update server didn't answer.")
                                        : QStringLiteral("The update server took too long to answer.");
}

QString notSignedBecause(const QString &why)
{
    return QStringLiteral("The update isn't signed by Quendle (%1).").arg(why);
}

QString verdictText(MinisignVerdict::Code code)
{
    switch (code) {
    case MinisignVerdict::Valid:
        break;
    case MinisignVerdict::Malformed:
        return notSignedBecause(QStringLiteral("its signature can't be read"));
    case MinisignVerdict::UnknownKey:
        return notSignedBecause(QStringLiteral("it was signed with a key Vellora doesn't trust"));
    case MinisignVerdict::Unreadable:
        return notSignedBecause(QStringLiteral("the download can't be read"));
    case MinisignVerdict::BadSignature:
        return notSignedBecause(QStringLiteral("its signature doesn't match the download"));
    case MinisignVerdict::BadTrustedComment:
        return notSignedBecause(QStringLiteral("the signed comment was altered"));
    }
    return {};
}

} // namespace

struct Updater::InstallRun {
    Appcast release;
    QString downloadPath;
    QString signaturePath;
    QString stage;
    QString target;
    QByteArray signature;
    std::function<void(bool)> done;
    std::unique_ptr<QFile> file;
};

Updater &Updater::shared()
{
    static Updater *updater = new Updater(Defaults::standard(), buildFromText(VELLORA_UPDATE_RUNNING_BUILD),
                                          compiledUpdateKeys());
    return *updater;
}

Updater::Updater(Defaults &defaults, qint64 runningBuild, QList<MinisignPublicKey> trustedKeys, QObject *parent)
    : QObject(parent), m_defaults(defaults), m_runningBuild(runningBuild), m_trustedKeys(std::move(trustedKeys)),
      m_network(new QNetworkAccessManager(this)), m_systemVersion(runningSystemVersion())
{
    const QVariant last = m_defaults.value(kLastCheckedKey);
    if (last.canConvert<QDateTime>() && last.toDateTime().isValid())
        m_lastChecked = last.toDateTime();
}

Updater::~Updater() = default;

void Updater::setStatus(const std::optional<QString> &status)
{
    if (status == m_status)
        return;
    m_status = status;
    emit statusChanged();
}

void Updater::setAvailable(const std::optional<Appcast> &available)
{
    if (available == m_available)
        return;
    m_available = available;
    // Another release on offer: the failure of the last one is no longer news.
    setInstallFailed(false);
    emit availableChanged();
}

void Updater::setBusy(bool busy)
{
    if (busy == m_busy)
        return;
    m_busy = busy;
    emit busyChanged();
}

void Updater::setInstallFailed(bool failed)
{
    if (failed == m_installFailed)
        return;
    m_installFailed = failed;
    emit installFailedChanged();
}

void Updater::setDismissed(bool dismissed)
{
    if (dismissed == m_dismissed)
        return;
    m_dismissed = dismissed;
    emit dismissedChanged();
}

void Updater::setProgress(std::optional<double> progress)
{
    if (progress == m_progress)
        return;
    m_progress = progress;
    emit downloadProgressChanged();
}

void Updater::step(const QString &text)
{
    setStatus(text);
    printLine(QStringLiteral("[update] ") + text);
}

QUrl Updater::appcastURL() const
{
    const QString text = m_defaults.string(kFeedKey);
    const QUrl url(text, QUrl::StrictMode);
    if (!text.isEmpty() && url.isValid() && !url.scheme().isEmpty())
        return url;
    return QUrl(kDefaultFeed);
}

QString Updater::targetPath() const
{
    const QString text = m_defaults.string(kTargetKey);
    if (!text.isEmpty())
        return QDir::cleanPath(text);
    return QDir::homePath() + QStringLiteral("/.local/opt/Vellora.app");
}

bool Updater::networkAllowed(const QUrl &url) const
{
    // Plain http would let anyone on the path choose what we install; only a
    // server on this machine (tests, a local mirror) may use it.
    if (url.scheme() == QLatin1String("https"))
        return true;
    return url.scheme() == QLatin1String("http") && isLoopbackHost(url.host());
}

void Updater::check(bool userInitiated, std::function<void()> done)
{
    // Asked for by the person: whatever comes of it is shown again.
    if (userInitiated)
        setDismissed(false);
    const QUrl url = appcastURL();
    if (!networkAllowed(url)) {
        finishCheck(userInitiated, std::nullopt, QStringLiteral("The update feed must be served over HTTPS."), done);
        return;
    }
    QNetworkRequest request(url);
    const QString etag = m_defaults.string(kETagKey);
    const QByteArray storedBody = m_defaults.value(kAppcastKey).toByteArray();
    // A 304 is only asked for when there is a body to fall back on.
    if (!etag.isEmpty() && !storedBody.isEmpty())
        request.setRawHeader("If-None-Match", etag.toUtf8());
    const FetchLimits limits{m_limits.feedBytes, m_limits.requestDeadlineMs, m_limits.requestDeadlineMs};
    fetch(*m_network, request, limits, this, {}, {}, [this, userInitiated, done](FetchOutcome outcome) {
        const int status = outcome.httpStatus;
        switch (outcome.kind) {
        case FetchOutcome::TooLarge:
            finishCheck(userInitiated, std::nullopt, QStringLiteral("The update feed is too large."), done);
            return;
        case FetchOutcome::TimedOut:
        case FetchOutcome::Silent:
            finishCheck(userInitiated, std::nullopt, unanswered(outcome.kind), done);
            return;
        case FetchOutcome::Failed:
        case FetchOutcome::SinkFailed:
            finishCheck(userInitiated, std::nullopt, outcome.error, done);
            return;
        case FetchOutcome::Done:
            break;
        }
        if (status == 304) {
            const AppcastDecodeResult stored = decodeAppcast(m_defaults.value(kAppcastKey).toByteArray());
            finishCheck(userInitiated, stored.appcast, unreadableFeed(stored), done);
            return;
        }
        if (status != 200) {
            // Said as it stands, without the "Couldn't check" lead.
            finishCheck(userInitiated, std::nullopt, {}, done,
                        QStringLiteral("Update check failed (HTTP %1).").arg(status));
            return;
        }
        const AppcastDecodeResult decoded = decodeAppcast(outcome.body);
        if (!decoded.appcast) {
            finishCheck(userInitiated, std::nullopt, unreadableFeed(decoded), done);
            return;
        }
        // Kept only once it decoded: a bad feed must not be served from here forever.
        m_defaults.set(kETagKey, QString::fromUtf8(outcome.etag));
        m_defaults.set(kAppcastKey, outcome.body);
        finishCheck(userInitiated, decoded.appcast, {}, done);
    });
}

void Updater::finishCheck(bool userInitiated, const std::optional<Appcast> &release, const QString &failure,
                          const std::function<void()> &done, const QString &statusText)
{
    if (!release) {
        if (userInitiated)
            setStatus(statusText.isEmpty() ? QStringLiteral("Couldn't check for updates: ") + failure : statusText);
        if (done)
            done();
        return;
    }
    const QDateTime now = QDateTime::currentDateTimeUtc();
    m_defaults.set(kLastCheckedKey, now);
    m_lastChecked = now;
    emit lastCheckedChanged();
    const bool runsHere = !release->minimumSystemVersion
                          || systemSatisfies(m_systemVersion, *release->minimumSystemVersion);
    if (release->build > m_runningBuild && runsHere) {
        setAvailable(release);
    } else {
        setAvailable(std::nullopt);
        if (userInitiated)
            setStatus(QStringLiteral("Vellora is up to date."));
    }
    if (done)
        done();
}

void Updater::scheduleChecks()
{
    if (m_started)
        return;
    m_started = true;
    m_schedule = new QTimer(this);
    m_schedule->setSingleShot(false);
    m_schedule->setInterval(kFirstCheckDelayMs);
    connect(m_schedule, &QTimer::timeout, this, [this] {
        m_schedule->setInterval(kCheckIntervalMs);
        check(false);
    });
    m_schedule->start();
}

void Updater::install(std::function<void(bool)> done)
{
    if (!m_available || m_busy) {
        if (done)
            done(false);
        return;
    }
    setBusy(true);
    setInstallFailed(false);
    auto run = std::make_shared<InstallRun>();
    // What is installed is fixed now: a check landing meanwhile changes nothing.
    run->release = *m_available;
    run->done = std::move(done);
    run->target = targetPath();

    if (!isReplaceableTarget(run->target)) {
        fail(run, QStringLiteral("%1 isn't a Vellora installation, so it was left alone.").arg(run->target));
        return;
    }
    const QString updates = applicationSupportFolder() + QStringLiteral("/Updates");
    if (!QDir().mkpath(updates)) {
        fail(run, QStringLiteral("The folder %1 can't be made.").arg(updates));
        return;
    }
    // Our own name, never one taken from the address.
    run->downloadPath = updates + QStringLiteral("/Vellora-%1-%2.tar.zst").arg(run->release.build).arg(newUUIDString());
    run->signaturePath = run->downloadPath + QStringLiteral(".minisig");
    runDownload(run);
}

void Updater::runDownload(std::shared_ptr<InstallRun> run)
{
    const QUrl url(run->release.url);
    step(QStringLiteral("Downloading %1 to %2").arg(url.toString(), run->downloadPath));
    if (!url.isValid() || !networkAllowed(url)) {
        fail(run, QStringLiteral("The update must be downloaded over HTTPS."));
        return;
    }
    run->file = std::make_unique<QFile>(run->downloadPath);
    if (!run->file->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        fail(run, QStringLiteral("Download failed."));
        return;
    }
    setProgress(0.0);
    const FetchLimits limits{m_limits.archiveBytes, m_limits.archiveDeadlineMs, m_limits.silenceMs};
    QFile *file = run->file.get();
    // Progress is counted here, from what was written: the reply's own
    // progress signal is throttled and can sit on a stale value.
    fetch(
        *m_network, QNetworkRequest(url), limits, this,
        [file](const QByteArray &piece) { return file->write(piece) == piece.size(); },
        [this](qint64 received, qint64 total) {
            if (total > 0)
                setProgress(std::min(1.0, double(received) / double(total)));
        },
        [this, run](FetchOutcome outcome) {
            const bool written = run->file->flush();
            run->file->close();
            switch (outcome.kind) {
            case FetchOutcome::TooLarge:
                fail(run, QStringLiteral("The download is too large (more than %1).").arg(sizeText(m_limits.archiveBytes)));
                return;
            case FetchOutcome::TimedOut:
            case FetchOutcome::Silent:
                fail(run, unanswered(outcome.kind));
                return;
            case FetchOutcome::SinkFailed:
                fail(run, QStringLiteral("Download failed: %1 can't be written.").arg(run->downloadPath));
                return;
            case FetchOutcome::Failed:
                fail(run, QStringLiteral("Download failed."));
                return;
            case FetchOutcome::Done:
                break;
            }
            if (outcome.httpStatus != 200) {
                fail(run, QStringLiteral("Download failed (HTTP %1).").arg(outcome.httpStatus));
                return;
            }
            if (!written) {
                fail(run, QStringLiteral("Download failed."));
                return;
            }
            runSignature(run);
        });
}

void Updater::runSignature(std::shared_ptr<InstallRun> run)
{
    // The signature lies beside the archive.
    const QUrl url(run->release.url + QStringLiteral(".minisig"));
    const FetchLimits limits{m_limits.signatureBytes, m_limits.requestDeadlineMs, m_limits.requestDeadlineMs};
    fetch(*m_network, QNetworkRequest(url), limits, this, {}, {}, [this, run](FetchOutcome outcome) {
        setProgress(std::nullopt);
        switch (outcome.kind) {
        case FetchOutcome::TooLarge:
            fail(run, notSignedBecause(QStringLiteral("its signature is larger than %1").arg(sizeText(m_limits.signatureBytes))));
            return;
        case FetchOutcome::TimedOut:
        case FetchOutcome::Silent:
            fail(run, unanswered(outcome.kind));
            return;
        case FetchOutcome::Failed:
        case FetchOutcome::SinkFailed:
            fail(run, QStringLiteral("Download failed."));
            return;
        case FetchOutcome::Done:
            break;
        }
        if (outcome.httpStatus == 404) {
            fail(run, notSignedBecause(QStringLiteral("no signature was published with it")));
            return;
        }
        if (outcome.httpStatus != 200) {
            fail(run, QStringLiteral("Download failed (HTTP %1).").arg(outcome.httpStatus));
            return;
        }
        run->signature = outcome.body;
        runVerify(run);
    });
}

void Updater::runVerify(std::shared_ptr<InstallRun> run)
{
    step(QStringLiteral("Verifying SHA-256"));
    struct Verified {
        std::optional<QByteArray> digest;
        MinisignVerdict verdict;
    };
    // Both over the downloaded file, before a single entry of it is read:
    // until the signature holds, the archive is a stranger's bytes.
    QtConcurrent::run([path = run->downloadPath, signature = run->signature, keys = m_trustedKeys] {
        Verified verified;
        verified.digest = sha256OfFile(path);
        if (verified.digest)
            verified.verdict = verifyMinisign(path, signature, keys);
        return verified;
    }).then(this, [this, run](Verified verified) {
        if (!verified.digest || sha256Hex(*verified.digest) != run->release.sha256.toLower()) {
            fail(run, QStringLiteral("The download is damaged (SHA-256 mismatch)."));
            return;
        }
        if (verified.verdict.code != MinisignVerdict::Valid) {
            fail(run, verdictText(verified.verdict.code));
            return;
        }
        const QString expected = QStringLiteral("%1 %2 %3")
                                     .arg(QLatin1String(kUpdateBundleIdentifier), run->release.version)
                                     .arg(run->release.build);
        if (verified.verdict.trustedComment != expected) {
            // A genuine signature of another release must not pass for this one.
            fail(run, notSignedBecause(QStringLiteral("the signature is for another release")));
            return;
        }
        runUnpack(run);
    });
}

void Updater::runUnpack(std::shared_ptr<InstallRun> run)
{
    const QString parent = QFileInfo(run->target).absolutePath();
    // Beside the target, so that the swap is a rename on one file system.
    run->stage = parent + QStringLiteral("/.Vellora-update-") + newUUIDString();
    if (!QDir().mkpath(run->stage)) {
        run->stage.clear();
        fail(run, QStringLiteral("The folder beside %1 can't be written.").arg(run->target));
        return;
    }
    step(QStringLiteral("Unpacking %1 at %2").arg(QFileInfo(run->downloadPath).fileName(), run->stage));
    struct Checked {
        UnpackResult unpack;
        bool bundleFound = false;
        bool programFound = false;
        std::optional<BundleManifest> manifest;
    };
    QtConcurrent::run([run] {
        Checked checked;
        checked.unpack = unpackReleaseArchive(run->downloadPath, run->stage);
        if (!checked.unpack.ok)
            return checked;
        const QString bundle = run->stage + QStringLiteral("/Vellora.app");
        checked.bundleFound = QFileInfo(bundle).isDir() && !QFileInfo(bundle).isSymLink();
        checked.manifest = readBundleManifest(bundle);
        // Looked at without following a link: the program the relaunch starts
        // is a file of the new tree itself.
        const QFileInfo program(bundle + QStringLiteral("/bin/vellora"));
        checked.programFound = program.isFile() && !program.isSymLink() && program.isExecutable();
        return checked;
    }).then(this, [this, run](Checked checked) {
        if (!checked.unpack.ok) {
            fail(run, QStringLiteral("The update can't be unpacked: %1.").arg(checked.unpack.error));
            return;
        }
        const QString bundle = run->stage + QStringLiteral("/Vellora.app");
        step(QStringLiteral("Checking the code signature and version of %1").arg(bundle));
        if (!checked.bundleFound) {
            fail(run, QStringLiteral("Vellora.app wasn't found in the update."));
            return;
        }
        const auto &manifest = checked.manifest;
        if (!manifest || manifest->identifier != QLatin1String(kUpdateBundleIdentifier)
            || manifest->version != run->release.version || manifest->build != run->release.build) {
            fail(run, QStringLiteral("The update's bundle id or version doesn't match."));
            return;
        }
        // A tree without its program would replace a working install with
        // one that cannot start.
        if (!checked.programFound) {
            fail(run, QStringLiteral("The update holds no Vellora program to start."));
            return;
        }
        runReplace(run);
    });
}

void Updater::runReplace(std::shared_ptr<InstallRun> run)
{
    step(QStringLiteral("Replacing %1 (old copy to the Trash)").arg(run->target));
    if (!isReplaceableTarget(run->target)) {
        fail(run, QStringLiteral("%1 isn't a Vellora installation, so it was left alone.").arg(run->target));
        return;
    }
    const SwapResult swap = replaceWithNewBundle(run->stage + QStringLiteral("/Vellora.app"), run->target);
    if (!swap.ok) {
        fail(run, swap.error);
        return;
    }
    step(QStringLiteral("Cleaning up %1").arg(run->stage));
    QDir(run->stage).removeRecursively();
    QFile::remove(run->downloadPath);
    QFile::remove(run->signaturePath);
    if (m_relaunches) {
        step(QStringLiteral("Relaunching %1").arg(run->target));
        if (!relaunchInstalled(run->target)) {
            // Quitting now would leave the user with no Vellora running at all.
            step(QStringLiteral("Vellora %1 is installed, but it couldn't be started. Quit Vellora and open it again to use it.")
                     .arg(run->release.version));
            setBusy(false);
            if (run->done)
                run->done(true);
            return;
        }
        if (run->done)
            run->done(true);
        emit relaunchStarted();
        return;
    }
    step(QStringLiteral("Installed Vellora %1 (%2); relaunch skipped (headless)")
             .arg(run->release.version)
             .arg(run->release.build));
    setBusy(false);
    if (run->done)
        run->done(true);
}

void Updater::fail(std::shared_ptr<InstallRun> run, const QString &message)
{
    // Nothing half done stays behind: the target was either swapped whole or
    // never touched.
    if (run->file && run->file->isOpen())
        run->file->close();
    if (!run->stage.isEmpty())
        QDir(run->stage).removeRecursively();
    if (!run->downloadPath.isEmpty()) {
        QFile::remove(run->downloadPath);
        QFile::remove(run->signaturePath);
    }
    setProgress(std::nullopt);
    setInstallFailed(true);
    step(QStringLiteral("Update failed: ") + message);
    setBusy(false);
    if (run->done)
        run->done(false);
}

} // namespace vellora
