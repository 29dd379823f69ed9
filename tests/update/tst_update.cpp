// The updater against a loopback feed: the check with its entity tag, a good
// install with the old tree in the Trash, and releases that must be refused
// with the target left exactly as it was.

#include "ConsoleCapture.h"
#include "LoopbackHttpServer.h"

#include "platform/Defaults.h"
#include "platform/Digest.h"
#include "platform/Places.h"
#include "update/BundleManifest.h"
#include "update/ReleaseArchive.h"
#include "update/Updater.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>
#include <archive.h>
#include <archive_entry.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace vellora;

namespace {

constexpr qint64 kRunning = VELLORA_RUNNING_BUILD;
constexpr qint64 kNext = VELLORA_RUNNING_BUILD + 1;

struct Entry {
    QString path;
    enum Kind { File, Folder, Link } kind = File;
    QByteArray content; // the link's target for a link
    int mode = 0;       // the archive's mode bits; 0 for the usual ones
};

QList<Entry> appTree(const QByteArray &manifest, const QByteArray &program = "#!/bin/sh\necho new\n")
{
    return {{QStringLiteral("Vellora.app"), Entry::Folder, {}},
            {QStringLiteral("Vellora.app/bin"), Entry::Folder, {}},
            {QStringLiteral("Vellora.app/bin/vellora"), Entry::File, program},
            {QStringLiteral("Vellora.app/Info.plist"), Entry::File, manifest}};
}

QByteArray manifestXml(const QString &identifier, const QString &version, qint64 build)
{
    QByteArray xml = bundleManifestXml(version, build);
    return xml.replace(kUpdateBundleIdentifier, identifier.toUtf8());
}

bool packArchive(const QString &path, const QList<Entry> &entries)
{
    archive *writer = archive_write_new();
    archive_write_add_filter_zstd(writer);
    archive_write_set_format_pax_restricted(writer);
    if (archive_write_open_filename(writer, QFile::encodeName(path).constData()) != ARCHIVE_OK)
        return false;
    for (const Entry &item : entries) {
        archive_entry *entry = archive_entry_new();
        archive_entry_set_pathname(entry, item.path.toUtf8().constData());
        if (item.kind == Entry::Folder) {
            archive_entry_set_filetype(entry, AE_IFDIR);
            archive_entry_set_perm(entry, item.mode ? item.mode : 0755);
        } else if (item.kind == Entry::Link) {
            archive_entry_set_filetype(entry, AE_IFLNK);
            archive_entry_set_symlink(entry, item.content.constData());
            archive_entry_set_perm(entry, 0777);
        } else {
            archive_entry_set_filetype(entry, AE_IFREG);
            archive_entry_set_perm(entry, item.mode ? item.mode : 0755);
            archive_entry_set_size(entry, item.content.size());
        }
        archive_write_header(writer, entry);
        if (item.kind == Entry::File)
            archive_write_data(writer, item.content.constData(), size_t(item.content.size()));
        archive_entry_free(entry);
    }
    archive_write_close(writer);
    archive_write_free(writer);
    return true;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(data);
}

QString feedJson(const QString &version, qint64 build, const QString &url, const QString &sha256)
{
    return QStringLiteral(R"({"version":"%1","build":%2,"url":"%3","sha256":"%4"})")
        .arg(version)
        .arg(build)
        .arg(url, sha256);
}

// One library of state per case: settings, the installed tree, the server.
struct Fixture {
    QTemporaryDir root{qEnvironmentVariable("VELLORA_TEST_HOME") + QStringLiteral("/update-XXXXXX")};
    std::unique_ptr<Defaults> defaults;
    LoopbackHttpServer server;
    MinisignSecretKey key = MinisignSecretKey::generate();
    QString target;

    Fixture()
    {
        defaults = std::make_unique<Defaults>(root.filePath(QStringLiteral("settings.ini")));
        target = root.filePath(QStringLiteral("opt/Vellora.app"));
        defaults->set(QStringLiteral("VELLORA_APPCAST_URL"), server.url("/appcast.json"));
        defaults->set(QStringLiteral("VELLORA_UPDATE_TARGET"), target);
    }

    void installOldTree()
    {
        writeFile(target + QStringLiteral("/Info.plist"), bundleManifestXml(QStringLiteral("1.0"), kRunning));
        writeFile(target + QStringLiteral("/bin/vellora"), "#!/bin/sh\necho old\n");
        writeFile(target + QStringLiteral("/marker"), "old tree");
    }

    // Packs `entries`, signs the archive with `signer` and `comment`, and
    // publishes it with a feed offering `version`/`build`.
    void publish(const QList<Entry> &entries, const QString &version = QStringLiteral("2.0"), qint64 build = kNext,
                 const MinisignSecretKey *signer = nullptr, QString comment = {})
    {
        const QString archive = root.filePath(QStringLiteral("release.tar.zst"));
        QVERIFY(packArchive(archive, entries));
        if (comment.isEmpty())
            comment = QStringLiteral("com.quendle.vellora %1 %2").arg(version).arg(build);
        const QByteArray signature = signMinisign(signer ? *signer : key, archive, comment);
        QVERIFY(!signature.isEmpty());
        const QByteArray body = readAll(archive);
        server.set("/release.tar.zst", {.body = body});
        server.set("/release.tar.zst.minisig", {.body = signature});
        server.set("/appcast.json",
                   {.body = feedJson(version, build, server.url("/release.tar.zst"), sha256Hex(sha256(body))).toUtf8(), .etag = "\"feed-1\""});
    }

    std::unique_ptr<Updater> updater()
    {
        auto updater = std::make_unique<Updater>(*defaults, kRunning, QList<MinisignPublicKey>{key.publicKey()});
        updater->setSystemVersion(QStringLiteral("12.5"));
        updater->setRelaunches(false);
        // Small enough that a slow, silent or flooding server shows within seconds.
        Updater::Limits limits;
        limits.archiveBytes = 256 << 10;
        limits.requestDeadlineMs = 3000;
        limits.archiveDeadlineMs = 3000;
        limits.silenceMs = 1500;
        updater->setLimits(limits);
        return updater;
    }
};

void checkNow(Updater &updater, bool userInitiated = true)
{
    bool done = false;
    updater.check(userInitiated, [&] { done = true; });
    QTRY_VERIFY_WITH_TIMEOUT(done, 20000);
}

std::optional<bool> installNow(Updater &updater)
{
    std::optional<bool> result;
    updater.install([&](bool ok) { result = ok; });
    QDeadlineTimer deadline(60000);
    while (!result && !deadline.hasExpired())
        QTest::qWait(20);
    return result;
}

// Records every entry made, moved or removed in the folders it watches.
struct FolderWatch {
    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    explicit FolderWatch(const QStringList &folders)
    {
        for (const QString &folder : folders)
            inotify_add_watch(fd, QFile::encodeName(folder).constData(),
                              IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_MODIFY);
    }
    ~FolderWatch() { ::close(fd); }
    QStringList changes() const
    {
        QStringList names;
        alignas(inotify_event) char buffer[8192];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0)
                return names;
            for (ssize_t at = 0; at < n;) {
                const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
                names << QString::fromUtf8(event->len ? event->name : "");
                at += ssize_t(sizeof(inotify_event) + event->len);
            }
        }
    }
};

QStringList leftovers(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

} // namespace

class TestUpdate : public QObject {
    Q_OBJECT

private slots:
    void appcastDecoding_data();
    void appcastDecoding();
    void systemVersion_data();
    void systemVersion();
    void releaseEntries_data();
    void releaseEntries();
    void checkSendsEntityTagOnlyWithStoredBody();
    void checkOutcomes_data();
    void checkOutcomes();
    void goodInstallTrashesOldTree();
    void installedTreeIsWritableByOwnerOnly_data();
    void installedTreeIsWritableByOwnerOnly();
    void badReleasesLeaveTargetUntouched_data();
    void badReleasesLeaveTargetUntouched();
    void installWithNothingOfferedOrWhileBusy();
    void releaseOnOfferIsFixedWhenInstallStarts();
    void commandLineUpdate();
};

void TestUpdate::appcastDecoding_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<bool>("ok");
    QTest::newRow("four required keys") << QByteArray(R"({"version":"2","build":7,"url":"https://x/a","sha256":"ab"})") << true;
    QTest::newRow("all keys") << QByteArray(R"({"version":"2","build":7,"url":"u","sha256":"ab","notes":"n","minimumSystemVersion":"12","published":"p"})") << true;
    QTest::newRow("no build") << QByteArray(R"({"version":"2","url":"u","sha256":"ab"})") << false;
    QTest::newRow("build as text") << QByteArray(R"({"version":"2","build":"7","url":"u","sha256":"ab"})") << false;
    QTest::newRow("build fractional") << QByteArray(R"({"version":"2","build":7.5,"url":"u","sha256":"ab"})") << false;
    QTest::newRow("version as number") << QByteArray(R"({"version":2,"build":7,"url":"u","sha256":"ab"})") << false;
    QTest::newRow("optional of wrong type") << QByteArray(R"({"version":"2","build":7,"url":"u","sha256":"ab","notes":3})") << false;
    QTest::newRow("not json") << QByteArray("<html>") << false;
    QTest::newRow("array") << QByteArray("[]") << false;
}

void TestUpdate::appcastDecoding()
{
    QFETCH(QByteArray, json);
    QFETCH(bool, ok);
    const AppcastDecodeResult decoded = decodeAppcast(json);
    QCOMPARE(decoded.appcast.has_value(), ok);
    if (ok)
        QCOMPARE(decodeAppcast(encodeAppcast(*decoded.appcast)).appcast, decoded.appcast);
}

void TestUpdate::systemVersion_data()
{
    QTest::addColumn<QString>("running");
    QTest::addColumn<QString>("minimum");
    QTest::addColumn<bool>("runs");
    QTest::newRow("15 needs 15.0") << "14.9" << "15" << false;
    QTest::newRow("15 on 15") << "15" << "15" << true;
    QTest::newRow("third component unused") << "14.2" << "14.2.1" << true;
    QTest::newRow("minor below") << "14.1.9" << "14.2.1" << false;
    QTest::newRow("debian 12.5 for 12") << "12.5" << "12" << true;
    QTest::newRow("debian 12.5 for 13") << "12.5" << "13" << false;
    QTest::newRow("unreadable requirement") << "12.5" << "twelve" << false;
}

void TestUpdate::systemVersion()
{
    QFETCH(QString, running);
    QFETCH(QString, minimum);
    QFETCH(bool, runs);
    QCOMPARE(systemSatisfies(running, minimum), runs);
}

void TestUpdate::releaseEntries_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("link");
    QTest::addColumn<bool>("safe");
    QTest::newRow("top") << "Vellora.app" << "" << true;
    QTest::newRow("inside") << "Vellora.app/bin/vellora" << "" << true;
    QTest::newRow("other top") << "Other.app/x" << "" << false;
    QTest::newRow("dot dot") << "Vellora.app/../x" << "" << false;
    QTest::newRow("absolute") << "/Vellora.app/x" << "" << false;
    QTest::newRow("link inside") << "Vellora.app/lib/current" << "../bin/vellora" << true;
    QTest::newRow("link up and out") << "Vellora.app/lib" << "../../etc" << false;
    QTest::newRow("link absolute") << "Vellora.app/lib" << "/etc/passwd" << false;
}

void TestUpdate::releaseEntries()
{
    QFETCH(QString, path);
    QFETCH(QString, link);
    QFETCH(bool, safe);
    if (link.isEmpty())
        QCOMPARE(isSafeReleaseEntry(path), safe);
    else
        QCOMPARE(isSafeReleaseEntry(path) && isSafeReleaseLink(path, link), safe);
}

void TestUpdate::checkSendsEntityTagOnlyWithStoredBody()
{
    Fixture f;
    f.publish(appTree(bundleManifestXml(QStringLiteral("2.0"), kNext)));
    auto updater = f.updater();
    checkNow(*updater);
    QCOMPARE(f.server.lastIfNoneMatch("/appcast.json"), QByteArray());
    QVERIFY(updater->available());
    QVERIFY(updater->lastChecked());

    // The second check asks with the tag; the 304 is answered from the stored body.
    auto again = f.updater();
    checkNow(*again);
    QCOMPARE(f.server.lastIfNoneMatch("/appcast.json"), QByteArray("\"feed-1\""));
    QCOMPARE(again->available()->build, kNext);

    // A feed that does not decode is never kept, so no tag is sent for it later.
    Fixture g;
    g.server.set("/appcast.json", {.body = "{not json", .etag = "\"broken\""});
    auto broken = g.updater();
    checkNow(*broken);
    QVERIFY(!broken->available());
    QVERIFY(broken->status()->startsWith(QStringLiteral("Couldn't check for updates: ")));
    QVERIFY(!g.defaults->contains(QStringLiteral("updaterETag")));
    checkNow(*broken);
    QCOMPARE(g.server.lastIfNoneMatch("/appcast.json"), QByteArray());
}

void TestUpdate::checkOutcomes_data()
{
    QTest::addColumn<QByteArray>("feed");
    QTest::addColumn<int>("httpStatus");
    QTest::addColumn<bool>("userInitiated");
    QTest::addColumn<bool>("offered");
    QTest::addColumn<QString>("status");
    const QByteArray newer = feedJson("2.0", kNext, "http://127.0.0.1:1/r", "ab").toUtf8();
    const QByteArray equal = feedJson("1.0", kRunning, "http://127.0.0.1:1/r", "ab").toUtf8();
    const QByteArray tooNew = QByteArray(newer).replace("}", R"(,"minimumSystemVersion":"99"})");
    QTest::newRow("newer") << newer << 200 << true << true << QString();
    QTest::newRow("equal build is not newer") << equal << 200 << true << false << "Vellora is up to date.";
    QTest::newRow("equal build, scheduled") << equal << 200 << false << false << QString();
    QTest::newRow("system too old") << tooNew << 200 << true << false << "Vellora is up to date.";
    QTest::newRow("server error") << newer << 500 << true << false << "Update check failed (HTTP 500).";
    QTest::newRow("not found") << newer << 404 << true << false << "Update check failed (HTTP 404).";
    QTest::newRow("scheduled failure is silent") << newer << 500 << false << false << QString();
    // Status 0 marks the server's pace rather than its answer.
    QTest::newRow("silent server") << newer << -1 << true << false
                                   << "Couldn't check for updates: The update server didn't answer.";
    QTest::newRow("one byte at a time") << newer << -2 << true << false
                                        << "Couldn't check for updates: The update server took too long to answer.";
    QTest::newRow("feed flood") << QByteArray(3 << 20, ' ') + newer << -3 << true << false
                                << "Couldn't check for updates: The update feed is too large.";
    // Without a length the size is known only by counting what arrives.
    QTest::newRow("feed flood without a length") << QByteArray(3 << 20, ' ') + newer << -4 << true << false
                                                 << "Couldn't check for updates: The update feed is too large.";
}

void TestUpdate::checkOutcomes()
{
    QFETCH(QByteArray, feed);
    QFETCH(int, httpStatus);
    QFETCH(bool, userInitiated);
    QFETCH(bool, offered);
    QFETCH(QString, status);
    Fixture f;
    LoopbackHttpServer::Response route{.status = httpStatus > 0 ? httpStatus : 200, .body = feed};
    route.never = httpStatus == -1;
    route.trickleMs = httpStatus == -2 ? 200 : 0;
    route.stall = httpStatus == -3 || httpStatus == -4;
    route.unannounced = httpStatus == -4;
    f.server.set("/appcast.json", route);
    auto updater = f.updater();
    QElapsedTimer clock;
    clock.start();
    checkNow(*updater, userInitiated);
    // Whatever the server's pace, the check ends near its deadline.
    QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(updater->available().has_value(), offered);
    QCOMPARE(updater->status().value_or(QString()), status);
}

void TestUpdate::goodInstallTrashesOldTree()
{
    Fixture f;
    f.installOldTree();
    f.publish(appTree(bundleManifestXml(QStringLiteral("2.0"), kNext)));
    auto updater = f.updater();
    checkNow(*updater);
    QVERIFY(updater->available());
    QSignalSpy progress(updater.get(), &Updater::downloadProgressChanged);
    ConsoleCapture console;
    QCOMPARE(installNow(*updater), std::optional<bool>(true));

    const auto manifest = readBundleManifest(f.target);
    QVERIFY(manifest);
    QCOMPARE(manifest->build, std::optional<qint64>(kNext));
    QCOMPARE(readAll(f.target + QStringLiteral("/bin/vellora")), QByteArray("#!/bin/sh\necho new\n"));
    QVERIFY(!QFile::exists(f.target + QStringLiteral("/marker")));
    QVERIFY(QFileInfo(f.target + QStringLiteral("/bin/vellora")).isExecutable());
    QVERIFY(progress.count() > 0);
    QVERIFY(!updater->busy());

    // The old tree is in the Trash, whole, and Restore would put it back
    // where it was installed.
    QDir trash(qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/Trash/files"));
    QString trashedName;
    for (const QString &name : trash.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (readAll(trash.filePath(name) + QStringLiteral("/marker")) == "old tree")
            trashedName = name;
    }
    QVERIFY(!trashedName.isEmpty());
    const QByteArray info = readAll(trash.filePath(QStringLiteral("../info/") + trashedName + QStringLiteral(".trashinfo")));
    QByteArray recorded;
    for (const QByteArray &line : info.split('\n')) {
        if (line.startsWith("Path="))
            recorded = line.mid(5);
    }
    QCOMPARE(QUrl::fromPercentEncoding(recorded), QFileInfo(f.target).absoluteFilePath());

    const QStringList lines = console.lines();
    QStringList steps;
    for (const QString &line : lines)
        steps.append(line.section(QLatin1Char(' '), 0, 1));
    QCOMPARE(steps, (QStringList{"[update] Downloading", "[update] Verifying", "[update] Unpacking",
                                 "[update] Checking", "[update] Replacing", "[update] Cleaning",
                                 "[update] Installed"}));
    QCOMPARE(lines.last(), QStringLiteral("[update] Installed Vellora 2.0 (%1); relaunch skipped (headless)").arg(kNext));
    QCOMPARE(leftovers(applicationSupportFolder() + QStringLiteral("/Updates")), QStringList());
    QCOMPARE(leftovers(QFileInfo(f.target).absolutePath()), QStringList{QStringLiteral("Vellora.app")});
}

void TestUpdate::installedTreeIsWritableByOwnerOnly_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("umask");
    QTest::newRow("folder open to all") << "Vellora.app/bin" << int(Entry::Folder) << 0777 << 022;
    QTest::newRow("program writable by group") << "Vellora.app/bin/vellora" << int(Entry::File) << 0775 << 022;
    QTest::newRow("file writable by others") << "Vellora.app/share/readme" << int(Entry::File) << 0646 << 022;
    QTest::newRow("set-user-id program") << "Vellora.app/bin/vellora" << int(Entry::File) << 04777 << 022;
    QTest::newRow("sticky folder") << "Vellora.app/bin" << int(Entry::Folder) << 01777 << 022;
    // A folder the archive never names is made by the unpacker itself.
    QTest::newRow("folder made on the way, open umask") << "Vellora.app/share/doc/readme" << int(Entry::File) << 0644 << 0;
}

void TestUpdate::installedTreeIsWritableByOwnerOnly()
{
    QFETCH(QString, path);
    QFETCH(int, kind);
    QFETCH(int, mode);
    QFETCH(int, umask);
    Fixture f;
    f.installOldTree();
    QList<Entry> entries = appTree(bundleManifestXml(QStringLiteral("2.0"), kNext));
    bool replaced = false;
    for (Entry &entry : entries) {
        if (entry.path == path) {
            entry.mode = mode;
            replaced = true;
        }
    }
    if (!replaced)
        entries.append({path, Entry::Kind(kind), "text\n", mode});
    f.publish(entries);
    const mode_t before = ::umask(mode_t(umask));
    auto updater = f.updater();
    checkNow(*updater);
    const auto installed = installNow(*updater);
    ::umask(before);
    QCOMPARE(installed, std::optional<bool>(true));

    QStringList loose;
    QDirIterator it(f.target, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System,
                    QDirIterator::Subdirectories);
    QStringList all{f.target};
    while (it.hasNext())
        all << it.next();
    for (const QString &entry : std::as_const(all)) {
        struct stat info {};
        QCOMPARE(::lstat(QFile::encodeName(entry).constData(), &info), 0);
        if (!S_ISLNK(info.st_mode) && (info.st_mode & (S_IWGRP | S_IWOTH | S_ISUID | S_ISGID | S_ISVTX)))
            loose << QStringLiteral("%1 %2").arg(entry).arg(info.st_mode & 07777, 0, 8);
    }
    QCOMPARE(loose, QStringList());
    QVERIFY(QFileInfo(f.target + QStringLiteral("/bin/vellora")).isExecutable());
}

void TestUpdate::badReleasesLeaveTargetUntouched_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("status");
    // Whether the refusal may come after the archive was opened; every other
    // refusal comes before anything is made beside or inside the target.
    QTest::addColumn<bool>("unpacks");
    const QString unpack = QStringLiteral("Update failed: The update can't be unpacked: ");
    const QString notSigned = QStringLiteral("Update failed: The update isn't signed by Quendle ");
    const QString mismatch = QStringLiteral("Update failed: The update's bundle id or version doesn't match.");
    QTest::newRow("sha256 mismatch") << "sha" << "Update failed: The download is damaged (SHA-256 mismatch)." << false;
    QTest::newRow("bad signature") << "badsig" << notSigned + "(its signature doesn't match the download)." << false;
    QTest::newRow("another key") << "otherkey" << notSigned + "(it was signed with a key Vellora doesn't trust)." << false;
    QTest::newRow("no signature") << "nosig" << notSigned + "(no signature was published with it)." << false;
    QTest::newRow("unreadable signature") << "garbledsig" << notSigned + "(its signature can't be read)." << false;
    QTest::newRow("wrong trusted comment") << "comment" << notSigned + "(the signature is for another release)." << false;
    QTest::newRow("unsigned with a dot dot entry") << "nosig+dotdot" << notSigned + "(no signature was published with it)." << false;
    QTest::newRow("foreign key with an escaping link") << "otherkey+link" << notSigned + "(it was signed with a key Vellora doesn't trust)." << false;
    QTest::newRow("damaged with an absolute entry") << "sha+absolute" << "Update failed: The download is damaged (SHA-256 mismatch)." << false;
    QTest::newRow("manifest identifier") << "identifier" << mismatch << true;
    QTest::newRow("manifest version") << "version" << mismatch << true;
    QTest::newRow("manifest build") << "build" << mismatch << true;
    QTest::newRow("no manifest") << "nomanifest" << mismatch << true;
    QTest::newRow("no program") << "noprogram" << "Update failed: The update holds no Vellora program to start." << true;
    QTest::newRow("dot dot entry") << "dotdot" << unpack + "the archive holds an entry outside Vellora.app: \"Vellora.app/../escaped\"." << true;
    QTest::newRow("absolute entry") << "absolute" << unpack + "the archive holds an entry outside Vellora.app: \"/tmp/escaped\"." << true;
    QTest::newRow("escaping link") << "link" << unpack + "the archive holds a link that leaves Vellora.app: \"Vellora.app/lib\"." << true;
    QTest::newRow("link out through an earlier link") << "linkchain" << unpack + "the archive holds a link that leaves Vellora.app: \"Vellora.app/l1\"." << true;
    QTest::newRow("link out through a later link") << "linkchain-reversed" << unpack + "the archive holds a link that leaves Vellora.app: \"Vellora.app/l1\"." << true;
    QTest::newRow("truncated download") << "truncate" << "Update failed: Download failed." << false;
    QTest::newRow("http 404") << "404" << "Update failed: Download failed (HTTP 404)." << false;
    QTest::newRow("http 500") << "500" << "Update failed: Download failed (HTTP 500)." << false;
    QTest::newRow("download too large") << "huge" << "Update failed: The download is too large (more than 256 KiB)." << false;
    QTest::newRow("signature flood") << "sigflood" << notSigned + "(its signature is larger than 8 KiB)." << false;
    // Without a length only a count of the bytes as they arrive can refuse
    // these before the deadline.
    QTest::newRow("download too large, without a length") << "huge+unannounced" << "Update failed: The download is too large (more than 256 KiB)." << false;
    QTest::newRow("signature flood, without a length") << "sigflood+unannounced" << notSigned + "(its signature is larger than 8 KiB)." << false;
    QTest::newRow("silent download server") << "silent" << "Update failed: The update server didn't answer." << false;
    QTest::newRow("download one byte at a time") << "trickle" << "Update failed: The update server took too long to answer." << false;
    QTest::newRow("signature one byte at a time") << "sigtrickle" << "Update failed: The update server took too long to answer." << false;
    QTest::newRow("target not ours") << "foreign" << "Update failed: %TARGET% isn't a Vellora installation, so it was left alone." << false;
}

void TestUpdate::badReleasesLeaveTargetUntouched()
{
    QFETCH(QString, fault);
    QFETCH(QString, status);
    QFETCH(bool, unpacks);
    const QStringList faults = fault.split(QLatin1Char('+'));
    auto has = [&faults](const char *name) { return faults.contains(QLatin1String(name)); };
    Fixture f;
    const QString outside = f.root.filePath(QStringLiteral("outside-canary"));
    writeFile(outside, "canary");
    if (fault == QLatin1String("foreign")) {
        writeFile(f.target + QStringLiteral("/marker"), "old tree");
        writeFile(f.target + QStringLiteral("/notes.txt"), "somebody's folder");
    } else {
        f.installOldTree();
    }
    QList<Entry> entries = appTree(bundleManifestXml(QStringLiteral("2.0"), kNext));
    const MinisignSecretKey other = MinisignSecretKey::generate();
    const MinisignSecretKey *signer = nullptr;
    QString comment;
    if (has("identifier"))
        entries = appTree(manifestXml(QStringLiteral("com.example.other"), QStringLiteral("2.0"), kNext));
    if (has("version"))
        entries = appTree(bundleManifestXml(QStringLiteral("2.1"), kNext));
    if (has("build"))
        entries = appTree(bundleManifestXml(QStringLiteral("2.0"), kNext + 1));
    if (has("nomanifest"))
        entries.removeLast();
    if (has("noprogram"))
        entries.removeAt(2);
    if (has("dotdot"))
        entries.append({QStringLiteral("Vellora.app/../escaped"), Entry::File, "x"});
    if (has("absolute"))
        entries.append({QStringLiteral("/tmp/escaped"), Entry::File, "x"});
    if (has("link"))
        entries.append({QStringLiteral("Vellora.app/lib"), Entry::Link, "../../outside-canary"});
    // Each text alone stays inside; together l1 climbs out, as "x/l2" is
    // the top folder itself.
    const QList<Entry> chain{{QStringLiteral("Vellora.app/x"), Entry::Folder, {}},
                             {QStringLiteral("Vellora.app/x/l2"), Entry::Link, ".."}};
    const Entry through{QStringLiteral("Vellora.app/l1"), Entry::Link, "x/l2/../../outside-canary"};
    if (has("linkchain"))
        entries << chain << through;
    if (has("linkchain-reversed"))
        entries << through << chain;
    if (has("huge")) {
        // Random, so that it does not shrink in the archive.
        // Twice the cap, so that even half of it sent and then held is over.
        QByteArray noise(has("unannounced") ? 1 << 20 : 512 << 10, Qt::Uninitialized);
        for (qsizetype i = 0; i < noise.size(); ++i)
            noise[i] = char(QRandomGenerator::global()->generate());
        entries.append({QStringLiteral("Vellora.app/noise"), Entry::File, noise});
    }
    if (has("otherkey"))
        signer = &other;
    if (has("comment"))
        comment = QStringLiteral("com.quendle.vellora 2.0 %1").arg(kNext + 5);
    f.publish(entries, QStringLiteral("2.0"), kNext, signer, comment);

    LoopbackHttpServer::Response &archiveRoute = f.server.route("/release.tar.zst");
    LoopbackHttpServer::Response &signatureRoute = f.server.route("/release.tar.zst.minisig");
    if (has("sha")) {
        LoopbackHttpServer::Response &feed = f.server.route("/appcast.json");
        feed.body = feedJson("2.0", kNext, f.server.url("/release.tar.zst"), QString(64, QLatin1Char('0'))).toUtf8();
    }
    if (has("badsig")) {
        const QString otherFile = f.root.filePath(QStringLiteral("other.bin"));
        writeFile(otherFile, "something else");
        signatureRoute.body = signMinisign(f.key, otherFile, QStringLiteral("com.quendle.vellora 2.0 %1").arg(kNext));
    }
    if (has("garbledsig"))
        signatureRoute.body = "untrusted comment: nothing\nnot a signature\n";
    if (has("nosig"))
        signatureRoute.status = 404;
    if (has("sigflood")) {
        // Far more than a signature, sent half and then held: only a cap
        // that counts while the bytes arrive ends this before the deadline.
        signatureRoute.body = signatureRoute.body + QByteArray(4 << 20, '#');
        signatureRoute.stall = true;
    }
    if (has("sigtrickle"))
        signatureRoute.trickleMs = 100;
    if (has("truncate"))
        archiveRoute.truncate = true;
    if (has("silent"))
        archiveRoute.never = true;
    if (has("trickle"))
        archiveRoute.trickleMs = 100;
    if (has("404") || has("500"))
        archiveRoute.status = fault.toInt();
    if (has("unannounced")) {
        // Half sent and then held, with no length that could be refused first.
        LoopbackHttpServer::Response &flooded = has("huge") ? archiveRoute : signatureRoute;
        flooded.unannounced = true;
        flooded.stall = true;
    }

    const QByteArray before = readAll(f.target + QStringLiteral("/marker"));
    const QByteArray manifestBefore = readAll(f.target + QStringLiteral("/Info.plist"));
    auto updater = f.updater();
    checkNow(*updater);
    QVERIFY(updater->available());
    ConsoleCapture console;
    const FolderWatch watch({QFileInfo(f.target).absolutePath(), f.target});
    QCOMPARE(installNow(*updater), std::optional<bool>(false));
    if (!unpacks)
        QCOMPARE(watch.changes(), QStringList());

    status.replace(QStringLiteral("%TARGET%"), f.target);
    QCOMPARE(updater->status().value_or(QString()), status);
    QCOMPARE(console.lines().last(), QStringLiteral("[update] ") + status);
    QVERIFY(!updater->busy());
    // The installed tree, the canary and the folders around them are as they were.
    QCOMPARE(readAll(f.target + QStringLiteral("/marker")), before);
    QCOMPARE(readAll(f.target + QStringLiteral("/Info.plist")), manifestBefore);
    QCOMPARE(readAll(outside), QByteArray("canary"));
    QVERIFY(!QFile::exists(QStringLiteral("/tmp/escaped")) || fault != QLatin1String("absolute"));
    QVERIFY(!QFile::exists(f.root.filePath(QStringLiteral("opt/escaped"))));
    QCOMPARE(leftovers(QFileInfo(f.target).absolutePath()), QStringList{QStringLiteral("Vellora.app")});
    QCOMPARE(leftovers(applicationSupportFolder() + QStringLiteral("/Updates")), QStringList());
}

void TestUpdate::installWithNothingOfferedOrWhileBusy()
{
    Fixture f;
    f.installOldTree();
    auto updater = f.updater();
    ConsoleCapture console;
    QCOMPARE(installNow(*updater), std::optional<bool>(false));
    QCOMPARE(console.lines(), QStringList());

    f.publish(appTree(bundleManifestXml(QStringLiteral("2.0"), kNext)));
    checkNow(*updater);
    std::optional<bool> first;
    updater->install([&](bool ok) { first = ok; });
    QVERIFY(updater->busy());
    std::optional<bool> second;
    updater->install([&](bool ok) { second = ok; });
    QCOMPARE(second, std::optional<bool>(false));
    QTRY_VERIFY_WITH_TIMEOUT(first.has_value(), 60000);
    QCOMPARE(first, std::optional<bool>(true));
}

void TestUpdate::releaseOnOfferIsFixedWhenInstallStarts()
{
    Fixture f;
    f.installOldTree();
    f.publish(appTree(bundleManifestXml(QStringLiteral("2.0"), kNext)));
    auto updater = f.updater();
    checkNow(*updater);
    std::optional<bool> installed;
    updater->install([&](bool ok) { installed = ok; });
    // A check that lands meanwhile offers something else; the install goes on
    // with what it started.
    f.server.set("/appcast.json", {.body = feedJson("9.0", kNext + 8, f.server.url("/nine.tar.zst"), "00").toUtf8()});
    checkNow(*updater);
    QTRY_VERIFY_WITH_TIMEOUT(installed.has_value(), 60000);
    QCOMPARE(installed, std::optional<bool>(true));
    QCOMPARE(readBundleManifest(f.target)->version, QStringLiteral("2.0"));
}

void TestUpdate::commandLineUpdate()
{
    const QString keyDir = QStringLiteral(VELLORA_UPDATE_KEY_DIR);
    if (keyDir.isEmpty())
        QSKIP("this build trusts no development key");
    const auto devKey = MinisignSecretKey::fromText(readAll(keyDir + QStringLiteral("/dev-key.sec")));
    QVERIFY(devKey);
    Fixture f;
    f.key = *devKey;
    f.installOldTree();
    f.publish(appTree(bundleManifestXml(QStringLiteral("2.0"), kNext)));

    auto run = [&](QStringList *lines) {
        QProcess process;
        process.start(QStringLiteral(VELLORA_BINARY),
                      {QStringLiteral("--update"), QStringLiteral("-VELLORA_APPCAST_URL"), f.server.url("/appcast.json"),
                       QStringLiteral("-VELLORA_UPDATE_TARGET"), f.target});
        // The server lives in this process: keep its loop turning while the program runs.
        QDeadlineTimer deadline(90000);
        while (process.state() != QProcess::NotRunning && !deadline.hasExpired())
            QTest::qWait(20);
        *lines = QString::fromUtf8(process.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        return process.exitCode();
    };
    QStringList lines;
    QCOMPARE(run(&lines), 0);
    QCOMPARE(lines.value(0), QStringLiteral("[update] current %1, feed %2, target %3")
                                 .arg(QStringLiteral("%1 (%2)").arg(lines.value(0).section(QLatin1Char(' '), 2, 2)).arg(kRunning),
                                      f.server.url("/appcast.json"), f.target));
    QCOMPARE(lines.value(1), QStringLiteral("[update] appcast offers 2.0 (%1)").arg(kNext));
    QCOMPARE(lines.last(), QStringLiteral("[update] Installed Vellora 2.0 (%1); relaunch skipped (headless)").arg(kNext));
    QCOMPARE(readBundleManifest(f.target)->build, std::optional<qint64>(kNext));

    // Nothing newer now: the lines say so and the status is 1.
    f.server.set("/appcast.json", {.body = feedJson("1.0", kRunning, f.server.url("/release.tar.zst"), "00").toUtf8()});
    QCOMPARE(run(&lines), 1);
    QCOMPARE(lines.value(1), QStringLiteral("[update] appcast offers nothing newer: Vellora is up to date."));
    QCOMPARE(lines.size(), 2);
}

QTEST_GUILESS_MAIN(TestUpdate)
#include "tst_update.moc"
