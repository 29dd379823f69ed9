// The command-line modes against a hostile world, one table per fault
// family: libraries that cannot be written, processes killed mid-way, files
// that are links, FIFOs, devices or far larger than they claim, and pictures
// that decode to more than the memory of a machine. Every case keeps a canary
// file beside the library that must come through untouched.

#include "ProgramRunner.h"
#include "PictureFixtures.h"

#include "library/LibraryFile.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <ctime>
#include <unistd.h>

using namespace vellora;

namespace {

const QByteArray kCanary = "canary: nothing may touch this file\n";

bool writeFile(const QString &path, const QByteArray &bytes, double ageSeconds = 30)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size() || !f.flush())
        return false;
    return f.setFileTime(QDateTime::currentDateTimeUtc().addMSecs(qint64(-ageSeconds * 1000)),
                         QFileDevice::FileModificationTime);
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A picture that does not compress to nothing: a few kilobytes of PNG.
QByteArray noisyPng(int seed, int side = 64)
{
    QImage image(side, side, QImage::Format_RGB32);
    QRandomGenerator random(quint32(seed + 1));
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x)
            image.setPixel(x, y, random.generate() | 0xff000000u);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

QByteArray encoded(const QImage &image, const char *format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

Item listedItem(int i)
{
    Item item;
    item.id = QStringLiteral("ITEM-%1").arg(i);
    item.kind = QStringLiteral("image");
    item.originalFilename = item.id + QStringLiteral(".png");
    item.storedFilename = item.id + QStringLiteral(".png");
    item.thumbnailFilename = item.id + QStringLiteral(".jpg");
    item.pixelWidth = 10;
    item.pixelHeight = 10;
    item.contentHash = QStringLiteral("hash-%1").arg(i);
    item.dateAdded = 800000000.0;
    item.dateCreated = 800000000.0;
    item.collectionIds = QStringList{QStringLiteral("DEF")};
    item.fileSize = 1;
    return item;
}

// A library of `count` listed items: with 40 its library.json is well above
// the 8 KB "disk" of the full-disk cases.
QByteArray libraryWith(int count)
{
    LibraryFile file;
    Board inbox;
    inbox.id = QStringLiteral("DEF");
    inbox.name = QStringLiteral("Inbox");
    inbox.dateCreated = 800000000.0;
    file.collections = {inbox};
    file.topLevelOrder = {inbox.id};
    for (int i = 0; i < count; ++i)
        file.items.append(listedItem(i));
    return file.encode();
}

LibraryFile readLibrary(const QString &root)
{
    try {
        return LibraryFile::decode(readFile(root + "/library.json"));
    } catch (const std::exception &) {
        return {};
    }
}

// A HEIC made by heif-enc from a small PNG; with `bomb` its declared size is
// then set to 16000 x 16000 (a few kilobytes that describe 256 megapixels).
QByteArray heicWith(bool bomb)
{
    QTemporaryDir dir;
    const QString png = dir.path() + "/in.png";
    const QString heic = dir.path() + "/out.heic";
    QImage image(256, 192, QImage::Format_RGB32);
    image.fill(Qt::darkMagenta);
    if (!image.save(png, "PNG"))
        return {};
    QProcess encoder;
    encoder.start("heif-enc", {"-q", "50", png, "-o", heic});
    if (!encoder.waitForFinished(60000) || encoder.exitCode() != 0)
        return {};
    QByteArray bytes = readFile(heic);
    if (!bomb)
        return bytes;
    const qsizetype at = bytes.indexOf("ispe");
    if (at < 0 || at + 16 > bytes.size())
        return {};
    const auto put = [&bytes](qsizetype offset, quint32 value) {
        for (int i = 0; i < 4; ++i)
            bytes[offset + i] = char((value >> (24 - 8 * i)) & 0xff);
    };
    put(at + 8, 16000);
    put(at + 12, 16000);
    return bytes;
}

} // namespace

class TestHostileCommands : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    QString base() const { return m_dir->path(); }
    QString root() const { return base() + "/Library"; }
    QString home() const { return base() + "/home"; }
    QString canary() const { return base() + "/canary.txt"; }
    QString outside() const { return base() + "/outside"; }

    programs::Run vellora(const QStringList &arguments, programs::Options options = {})
    {
        options.environment.insert("VELLORA_ROOT", root());
        options.environment.insert("HOME", home());
        options.environment.insert("XDG_CONFIG_HOME", home() + "/config");
        options.environment.insert("XDG_DATA_HOME", home() + "/data");
        options.environment.insert("XDG_CACHE_HOME", home() + "/cache");
        options.environment.insert("QT_QPA_PLATFORM", "offscreen");
        options.environment.insert("XDG_RUNTIME_DIR", home() + "/runtime");
        return programs::run(QStringLiteral(VELLORA_BINARY), arguments, options);
    }

    // Claims older than the ten minutes after which any scan releases them,
    // and drops long settled.
    void ageDrops()
    {
        const QString folder = root() + "/Drops";
        for (const QString &entry : QDir(folder).entryList(QDir::Files | QDir::Hidden)) {
            struct timespec times[2];
            times[0].tv_sec = time(nullptr) - 700;
            times[0].tv_nsec = 0;
            times[1] = times[0];
            ::utimensat(AT_FDCWD, QFile::encodeName(folder + "/" + entry).constData(), times, AT_SYMLINK_NOFOLLOW);
        }
    }

    // The ways a library can refuse to be written, each one that a root
    // user (as in CI) meets too.
    // False when the case cannot be made here.
    bool breakLibrary(const QString &how, programs::Options &options)
    {
        if (how == "originals is a file") {
            QDir(root() + "/originals").removeRecursively();
            return writeFile(root() + "/originals", "not a folder");
        }
        if (how == "disk full")
            options.fileSizeLimit = 8192;
        if (how == "folder without write permission")
            return ::geteuid() != 0 && ::chmod(QFile::encodeName(root()).constData(), 0555) == 0;
        return true;
    }

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        QDir().mkpath(root());
        QDir().mkpath(home() + "/runtime");
        ::chmod(QFile::encodeName(home() + "/runtime").constData(), 0700);
        QDir().mkpath(outside());
        QVERIFY(writeFile(canary(), kCanary));
    }

    void cleanup()
    {
        ::chmod(QFile::encodeName(root()).constData(), 0755);
        QCOMPARE(readFile(canary()), kCanary);
    }

    // ------------------------------------------------------------ failures are failures

    void importIntoUnwritableLibrary_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<bool>("picture");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("imported");
        QTest::newRow("a picture") << "" << true << 0 << 1;
        QTest::newRow("no picture: nothing to write") << "" << false << 0 << 0;
        QTest::newRow("originals is a file") << "originals is a file" << true << 1 << 0;
        QTest::newRow("disk full") << "disk full" << true << 1 << 0;
        QTest::newRow("folder without write permission") << "folder without write permission" << true << 1 << 1;
    }

    void importIntoUnwritableLibrary()
    {
        QFETCH(QString, how);
        QFETCH(bool, picture);
        QFETCH(int, status);
        QFETCH(int, imported);
        QVERIFY(writeFile(root() + "/library.json", libraryWith(40)));
        const QString file = outside() + (picture ? "/photo.png" : "/notes.txt");
        QVERIFY(writeFile(file, picture ? noisyPng(1, 96) : QByteArray("just words")));
        programs::Options options;
        if (!breakLibrary(how, options))
            QSKIP("this case cannot be made here (permissions do not bind the root user)");
        const programs::Run run = vellora({"--import", file}, options);
        QVERIFY2(!run.timedOut && run.signal == 0, qPrintable(run.err));
        QCOMPARE(run.out, QStringLiteral("imported %1 into Inbox\n").arg(imported));
        QVERIFY2(run.status == status, qPrintable(run.err));
        // A failure says why on standard error.
        QCOMPARE(run.err.contains(QRegularExpression("^(library.json not saved|the library could not be written): .+$",
                                                     QRegularExpression::MultilineOption)),
                 status != 0);
        QCOMPARE(readLibrary(root()).items.size(), 40 + (status == 0 ? imported : 0));
    }

    void ingestIntoUnwritableLibrary_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("status");
        QTest::newRow("writable") << "" << 0;
        QTest::newRow("disk full") << "disk full" << 1;
        QTest::newRow("folder without write permission") << "folder without write permission" << 1;
    }

    void ingestIntoUnwritableLibrary()
    {
        QFETCH(QString, how);
        QFETCH(int, status);
        QVERIFY(writeFile(root() + "/library.json", libraryWith(40)));
        const QString drop = root() + "/Drops/shared.png";
        QVERIFY(writeFile(drop, noisyPng(2, 96)));
        programs::Options options;
        if (!breakLibrary(how, options))
            QSKIP("this case cannot be made here (permissions do not bind the root user)");
        const programs::Run run = vellora({"--ingest-drops"}, options);
        QVERIFY2(!run.timedOut && run.signal == 0, qPrintable(run.err));
        QVERIFY2(run.status == status, qPrintable(run.out + run.err));
        QCOMPARE(run.err.contains(QRegularExpression("^library.json not saved: .+$", QRegularExpression::MultilineOption)),
                 status != 0);
        QVERIFY(run.out.contains(QRegularExpression("^library: \\d+ items \\(0 links\\)$",
                                                    QRegularExpression::MultilineOption)));
        // The drop is the only copy until a saved library lists it.
        QCOMPARE(QFile::exists(drop), status != 0);
        QCOMPARE(readLibrary(root()).items.size(), status == 0 ? 41 : 40);
    }

    // ------------------------------------------------------------ files that are not what they seem

    void importNamedFiles_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("imported");
        QTest::newRow("a FIFO") << "fifo" << 0;
        QTest::newRow("a device") << "device" << 0;
        QTest::newRow("a link the user named") << "link" << 1;
        QTest::newRow("a link to a FIFO") << "link to fifo" << 0;
        QTest::newRow("WebP") << "webp" << 1;
        QTest::newRow("TIFF") << "tiff" << 1;
    }

    void importNamedFiles()
    {
        QFETCH(QString, kind);
        QFETCH(int, imported);
        QVERIFY(writeFile(root() + "/library.json", libraryWith(0)));
        const QString fifo = outside() + "/pipe.png";
        QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0644) == 0);
        const QString picture = outside() + "/picture.png";
        QVERIFY(writeFile(picture, noisyPng(5)));
        QString named;
        if (kind == "fifo") {
            named = fifo;
        } else if (kind == "device") {
            named = "/dev/zero";
        } else if (kind == "link" || kind == "link to fifo") {
            named = outside() + "/named.png";
            QVERIFY(QFile::link(kind == "link" ? picture : fifo, named));
        } else {
            named = outside() + "/picture." + kind;
            QVERIFY(writeFile(named, encoded(fixtures::quadrants(120, 80), kind == "webp" ? "WEBP" : "TIFF")));
        }
        programs::Options options;
        options.timeoutMs = 30000;
        const programs::Run run = vellora({"--import", named}, options);
        QVERIFY2(!run.timedOut && run.signal == 0, qPrintable(run.err));
        QCOMPARE(run.out, QStringLiteral("imported %1 into Inbox\n").arg(imported));
        QCOMPARE(run.status, 0);
    }

    // Another library's folder whose files are links, FIFOs and devices.
    void hostileOldLibrary_data()
    {
        QTest::addColumn<QString>("what");     // which file of the old folder is replaced
        QTest::addColumn<QString>("by");       // "canary link", "outside picture link", "zero", "fifo"
        QTest::addColumn<int>("status");
        QTest::newRow("plain files") << "" << "" << 0;
        QTest::newRow("favicon links to the canary") << "favicon" << "canary link" << 0;
        QTest::newRow("favicon links to /dev/zero") << "favicon" << "zero" << 0;
        QTest::newRow("favicon is a FIFO") << "favicon" << "fifo" << 0;
        QTest::newRow("snapshot links to a picture outside") << "snapshot" << "outside picture link" << 0;
        QTest::newRow("snapshot is a FIFO") << "snapshot" << "fifo" << 0;
        QTest::newRow("original links to a picture outside") << "original" << "outside picture link" << 0;
        QTest::newRow("original is a FIFO") << "original" << "fifo" << 0;
        QTest::newRow("its library.json is a FIFO") << "library.json" << "fifo" << 1;
    }

    void hostileOldLibrary()
    {
        QFETCH(QString, what);
        QFETCH(QString, by);
        QFETCH(int, status);
        QVERIFY(writeFile(root() + "/library.json", libraryWith(0)));
        const QString old = base() + "/Old";
        const QString favicon = old + "/thumbnails/icon.png";
        const QString snapshot = old + "/thumbnails/snap.png";
        const QString original = old + "/originals/photo.png";
        const QString document = old + "/library.json";
        QVERIFY(writeFile(favicon, noisyPng(7, 16)));
        QVERIFY(writeFile(snapshot, noisyPng(8, 200)));
        QVERIFY(writeFile(original, noisyPng(9, 80)));
        const QString outsidePicture = outside() + "/elsewhere.png";
        QVERIFY(writeFile(outsidePicture, noisyPng(10, 300)));
        const QByteArray oldDocument =
            "{\"collections\":[{\"id\":\"C1\",\"name\":\"Old\",\"groups\":[{\"itemIDs\":[\"L1\",\"I1\"]}]}],"
            "\"topLevelOrder\":[\"C1\"],"
            "\"items\":[{\"id\":\"L1\",\"kind\":\"link\",\"dateAdded\":1,\"linkURLString\":\"https://example.org/\","
            "\"linkFaviconFilename\":\"icon.png\",\"linkSnapshotFilename\":\"snap.png\"},"
            "{\"id\":\"I1\",\"kind\":\"image\",\"dateAdded\":2,\"storedFilename\":\"photo.png\"}]}";
        QVERIFY(writeFile(document, oldDocument));
        const QString target = what == "favicon" ? favicon : what == "snapshot" ? snapshot
                             : what == "original" ? original : document;
        if (!what.isEmpty()) {
            QFile::remove(target);
            if (by == "fifo")
                QVERIFY(::mkfifo(QFile::encodeName(target).constData(), 0644) == 0);
            else
                QVERIFY(QFile::link(by == "canary link" ? canary() : by == "zero" ? QString("/dev/zero") : outsidePicture,
                                    target));
        }
        programs::Options options;
        options.timeoutMs = 30000;
        const programs::Run run = vellora({"--import-library", old}, options);
        QVERIFY2(!run.timedOut && run.signal == 0, qPrintable(run.err));
        QCOMPARE(run.status, status);
        if (status != 0)
            return;
        const LibraryFile library = readLibrary(root());
        const Item *link = nullptr;
        const Item *image = nullptr;
        for (const Item &item : library.items)
            (item.kind == "link" ? link : image) = &item;
        QVERIFY(link);
        // Nothing from outside the old folder came in, in any form.
        QCOMPARE(bool(link->faviconFilename), what != "favicon");
        if (link->faviconFilename)
            QCOMPARE(readFile(root() + "/favicons/" + *link->faviconFilename), readFile(favicon));
        QCOMPARE(bool(link->snapshotDate), what != "snapshot");
        if (what == "snapshot")
            QCOMPARE(link->pixelWidth, 1280);
        else
            QCOMPARE(link->pixelWidth, 200);
        QCOMPARE(image != nullptr, what != "original");
        for (const QString &folder : {"originals", "favicons", "thumbnails"})
            for (const QString &name : QDir(root() + "/" + folder).entryList(QDir::Files))
                QVERIFY(readFile(root() + "/" + folder + "/" + name) != kCanary);
    }

    // The library's own library.json replaced by a FIFO: refused, not a hang.
    void ownLibraryIsAFifo()
    {
        QVERIFY(::mkfifo(QFile::encodeName(root() + "/library.json").constData(), 0644) == 0);
        QVERIFY(writeFile(outside() + "/p.png", noisyPng(3)));
        programs::Options options;
        options.timeoutMs = 30000;
        const programs::Run run = vellora({"--import", outside() + "/p.png"}, options);
        QVERIFY2(!run.timedOut && run.signal == 0, qPrintable(run.err));
        QCOMPARE(run.status, 1);
        QFileInfo info(root() + "/library.json");
        QVERIFY(!info.isFile()); // left as it was
    }

    // ------------------------------------------------------------ memory

    // Each case in a process of its own, its peak read with wait4().
    void memoryStaysBounded_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("mode");
        QTest::addColumn<int>("imported");
        QTest::newRow("1.5 GB file that is no picture") << "huge text" << "--import" << 0;
        QTest::newRow("1 GB drop") << "huge drop" << "--ingest-drops" << 0;
        QTest::newRow("HEIC declaring 16000 x 16000") << "heic bomb" << "--import" << 0;
        QTest::newRow("ordinary HEIC") << "heic" << "--import" << 1;
    }

    void memoryStaysBounded()
    {
        QFETCH(QString, input);
        QFETCH(QString, mode);
        QFETCH(int, imported);
        QVERIFY(writeFile(root() + "/library.json", libraryWith(0)));
        QString file;
        if (input == "huge text" || input == "huge drop") {
            file = input == "huge text" ? outside() + "/notes.txt" : root() + "/Drops/big.png";
            QVERIFY(writeFile(file, "not a picture, followed by nothing but holes"));
            QVERIFY(QFile(file).resize(input == "huge text" ? 1536LL << 20 : 1024LL << 20)); // sparse
            struct timespec times[2] = {{time(nullptr) - 60, 0}, {time(nullptr) - 60, 0}};
            ::utimensat(AT_FDCWD, QFile::encodeName(file).constData(), times, 0);
        } else {
            const QByteArray heic = heicWith(input == "heic bomb");
            if (heic.isEmpty())
                QSKIP("heif-enc (libheif-examples) is not installed");
            file = outside() + "/photo.heic";
            QVERIFY(writeFile(file, heic));
        }
        programs::Options options;
        options.timeoutMs = 120000;
        const programs::Run run = vellora(mode == "--import" ? QStringList{mode, file} : QStringList{mode}, options);
        QVERIFY2(!run.timedOut && run.signal == 0, qPrintable(run.err));
        QCOMPARE(run.status, 0);
        qInfo("%s: peak %ld MB", QTest::currentDataTag(), run.peakKilobytes / 1024);
        QVERIFY2(run.peakKilobytes < 1024 * 1024, qPrintable(QString::number(run.peakKilobytes / 1024) + " MB"));
        if (mode == "--import")
            QCOMPARE(run.out, QStringLiteral("imported %1 into Inbox\n").arg(imported));
        else
            QCOMPARE(readLibrary(root()).items.size(), imported);
    }

    // ------------------------------------------------------------ kill -9

    // Ten runs over thirty drops, each killed at a moment of its own: at
    // every point each drop is in the drops folder or in library.json, and
    // in the end every drop is in library.json exactly once.
    void killedIngestLosesNoDrop()
    {
        const int count = 30;
        QSet<QString> names;
        for (int i = 0; i < count; ++i) {
            const QString name = QStringLiteral("drop-%1.png").arg(i, 2, 10, QChar('0'));
            QVERIFY(writeFile(root() + "/Drops/" + name, noisyPng(100 + i, 48)));
            names.insert(name);
        }
        const auto check = [&](bool final) {
            QSet<QString> waiting;
            for (const QString &entry : QDir(root() + "/Drops").entryList(QDir::Files | QDir::Hidden)) {
                if (entry.startsWith('.'))
                    continue;
                const qsizetype at = entry.indexOf(".importing-");
                waiting.insert(at < 0 ? entry : entry.left(at));
            }
            QMap<QString, int> listed;
            for (const Item &item : readLibrary(root()).items)
                ++listed[item.originalFilename];
            for (const QString &name : names) {
                QVERIFY2(waiting.contains(name) || listed.contains(name), qPrintable(name + " is lost"));
                if (final)
                    QVERIFY2(listed.value(name) == 1, qPrintable(name + " is not listed exactly once"));
            }
        };
        QRandomGenerator random(23);
        for (int round = 0; round < 10; ++round) {
            programs::Options options;
            options.killAfterMs = 300 + int(random.bounded(1500));
            vellora({"--ingest-drops"}, options);
            check(false);
            // The next run sees old claims (released) and settled drops.
            ageDrops();
        }
        for (int run = 0; run < 4 && !QDir(root() + "/Drops").entryList(QDir::Files).isEmpty(); ++run) {
            const programs::Run last = vellora({"--ingest-drops"});
            QVERIFY2(last.status == 0, qPrintable(last.err));
            ageDrops();
        }
        check(true);
        QVERIFY(QDir(root() + "/Drops").entryList(QDir::Files).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestHostileCommands)
#include "tst_hostilecommands.moc"
