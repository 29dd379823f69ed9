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
