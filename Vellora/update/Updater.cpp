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

constexpr qint64 kFeedCap = 1 << 20;
constexpr qint64 kDownloadCap = qint64(1) << 30;
constexpr qint64 kSignatureCap = 8 << 10;
constexpr int kFeedTimeoutMs = 60 * 1000;
constexpr int kFirstCheckDelayMs = 10 * 1000;
constexpr int kCheckIntervalMs = 86400 * 1000;

qint64 buildFromText(const char *text)
{
    bool ok = false;
    const qint64 value = QByteArray(text).toLongLong(&ok);
    return ok ? value : 0;
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
    QPointer<QNetworkReply> reply;
    std::unique_ptr<QFile> file;
    qint64 received = 0;
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
    emit availableChanged();
}

void Updater::setBusy(bool busy)
{
    if (busy == m_busy)
        return;
    m_busy = busy;
    emit busyChanged();
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
    const QUrl url = appcastURL();
    if (!networkAllowed(url)) {
        finishCheck(userInitiated, {}, QStringLiteral("The update feed must be served over HTTPS."), done);
        return;
    }
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setTransferTimeout(kFeedTimeoutMs);
    const QString etag = m_defaults.string(kETagKey);
    const QByteArray storedBody = m_defaults.value(kAppcastKey).toByteArray();
    // A 304 is only asked for when there is a body to fall back on.
    if (!etag.isEmpty() && !storedBody.isEmpty())
        request.setRawHeader("If-None-Match", etag.toUtf8());
    QNetworkReply *reply = m_network->get(request);
    auto body = std::make_shared<QByteArray>();
    auto tooLarge = std::make_shared<bool>(false);
    connect(reply, &QNetworkReply::readyRead, this, [reply, body, tooLarge] {
        *body += reply->readAll();
        if (body->size() > kFeedCap) {
            *tooLarge = true;
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply, body, tooLarge, userInitiated, done] {
        reply->deleteLater();
        *body += reply->readAll();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (*tooLarge) {
            finishCheck(userInitiated, {}, QStringLiteral("The update feed is too large."), done);
            return;
        }
        if (status == 304) {
            finishCheck(userInitiated, m_defaults.value(kAppcastKey).toByteArray(), {}, done);
            return;
        }
        if (status != 0 && status != 200) {
            finishCheck(userInitiated, {}, QStringLiteral("Update check failed (HTTP %1).").arg(status), done);
            return;
        }
        if (reply->error() != QNetworkReply::NoError) {
            finishCheck(userInitiated, {}, reply->errorString(), done);
            return;
        }
        const AppcastDecodeResult decoded = decodeAppcast(*body);
        if (!decoded.appcast) {
            finishCheck(userInitiated, {}, QStringLiteral("The update feed can't be read: %1.").arg(decoded.error), done);
            return;
        }
        // Kept only once it decoded: a bad feed must not be served from here forever.
        m_defaults.set(kETagKey, QString::fromUtf8(reply->rawHeader("ETag")));
        m_defaults.set(kAppcastKey, *body);
        finishCheck(userInitiated, *body, {}, done);
    });
}

void Updater::finishCheck(bool userInitiated, const QByteArray &body, const QString &failure,
                          const std::function<void()> &done)
{
    std::optional<Appcast> release;
    QString error = failure;
    if (error.isEmpty()) {
        const AppcastDecodeResult decoded = decodeAppcast(body);
        if (decoded.appcast)
            release = decoded.appcast;
        else
            error = QStringLiteral("The update feed can't be read: %1.").arg(decoded.error);
    }
    if (!release) {
        if (userInitiated)
            setStatus(QStringLiteral("Couldn't check for updates: ") + error);
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
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setTransferTimeout(kFeedTimeoutMs);
    run->reply = m_network->get(request);
    QNetworkReply *reply = run->reply;
    // Progress is counted here, from what was written: the reply's own
    // progress signal is throttled and can sit on a stale value.
    connect(reply, &QNetworkReply::readyRead, this, [this, run, reply] {
        const QByteArray chunk = reply->readAll();
        run->received += chunk.size();
        if (run->received > kDownloadCap || run->file->write(chunk) != chunk.size()) {
            reply->abort();
            return;
        }
        const qint64 total = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
        if (total > 0)
            setProgress(std::min(1.0, double(run->received) / double(total)));
    });
    connect(reply, &QNetworkReply::finished, this, [this, run, reply] {
        reply->deleteLater();
        const QByteArray rest = reply->readAll();
        run->received += rest.size();
        const bool written = run->file->write(rest) == rest.size() && run->file->flush();
        run->file->close();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (status != 200) {
            fail(run, status ? QStringLiteral("Download failed (HTTP %1).").arg(status) : QStringLiteral("Download failed."));
            return;
        }
        if (reply->error() != QNetworkReply::NoError || !written || run->received > kDownloadCap) {
            fail(run, QStringLiteral("Download failed."));
            return;
        }
        // The signature lies beside the archive.
        QUrl signatureUrl(run->release.url + QStringLiteral(".minisig"));
        QNetworkRequest request(signatureUrl);
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
        request.setTransferTimeout(kFeedTimeoutMs);
        QNetworkReply *signatureReply = m_network->get(request);
        connect(signatureReply, &QNetworkReply::finished, this, [this, run, signatureReply] {
            signatureReply->deleteLater();
            const int code = signatureReply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            if (signatureReply->error() == QNetworkReply::NoError && code == 200)
                run->signature = signatureReply->read(kSignatureCap);
            setProgress(std::nullopt);
            runVerify(run);
        });
    });
}

void Updater::runVerify(std::shared_ptr<InstallRun> run)
{
    step(QStringLiteral("Verifying SHA-256"));
    QtConcurrent::run([path = run->downloadPath] { return sha256OfFile(path); })
        .then(this, [this, run](std::optional<QByteArray> digest) {
            if (!digest || sha256Hex(*digest) != run->release.sha256.toLower()) {
                fail(run, QStringLiteral("The download is damaged (SHA-256 mismatch)."));
                return;
            }
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
                MinisignVerdict verdict;
                std::optional<BundleManifest> manifest;
            };
            QtConcurrent::run([run, keys = m_trustedKeys] {
                Checked checked;
                checked.unpack = unpackReleaseArchive(run->downloadPath, run->stage);
                if (!checked.unpack.ok)
                    return checked;
                const QString bundle = run->stage + QStringLiteral("/Vellora.app");
                checked.bundleFound = QFileInfo(bundle).isDir() && !QFileInfo(bundle).isSymLink();
                checked.verdict = verifyMinisign(run->downloadPath, run->signature, keys);
                checked.manifest = readBundleManifest(bundle);
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
                if (checked.verdict.code != MinisignVerdict::Valid) {
                    fail(run, QStringLiteral("The update isn't signed by Quendle (%1).").arg(int(checked.verdict.code)));
                    return;
                }
                const QString expected = QStringLiteral("%1 %2 %3")
                                             .arg(QLatin1String(kUpdateBundleIdentifier), run->release.version)
                                             .arg(run->release.build);
                if (checked.verdict.trustedComment != expected) {
                    // A genuine signature of another release must not pass for this one.
                    fail(run, QStringLiteral("The update isn't signed by Quendle (6)."));
                    return;
                }
                const auto &manifest = checked.manifest;
                if (!manifest || manifest->identifier != QLatin1String(kUpdateBundleIdentifier)
                    || manifest->version != run->release.version || manifest->build != run->release.build) {
                    fail(run, QStringLiteral("The update's bundle id or version doesn't match."));
                    return;
                }
                runReplace(run);
            });
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
        relaunchInstalled(run->target);
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
    step(QStringLiteral("Update failed: ") + message);
    setBusy(false);
    if (run->done)
        run->done(false);
}

} // namespace vellora
