#include "ManualClock.h"
#include "ManualScheduler.h"
#include "ScopedClock.h"
#include "ScopedScheduler.h"

#include "platform/Clock.h"
#include "platform/Defaults.h"
#include "platform/Scheduler.h"
#include "platform/ScreenshotFolder.h"
#include "platform/Text.h"
#include "platform/Uuid.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QImage>
#include <QImageWriter>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimeZone>
#include <thread>

using namespace vellora;

class TestPlatform : public QObject {
    Q_OBJECT
private slots:
    void referenceTime();
    void uuids();
    void manualSchedulerOrder();
    void debouncerReplacesPendingRun();
    void qtSchedulerPostsAndCancels();
    void defaultsLayers();
    void defaultsChangedSignal();
    void defaultsSurviveAbandonedLock();
    void contains_data();
    void contains();
    void lowercasing();
    void listFormatting_data();
    void listFormatting();
    void pictureEndings_data();
    void pictureEndings();
};

void TestPlatform::referenceTime()
{
    const QDateTime reference(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC);
    QCOMPARE(referenceSeconds(reference), 0.0);
    QCOMPARE(referenceSeconds(reference.addSecs(90)), 90.0);
    QCOMPARE(dateFromReferenceSeconds(-1.5).toMSecsSinceEpoch(), reference.toMSecsSinceEpoch() - 1500);

    ManualClock clock(1000.0);
    {
        ScopedClock scoped(&clock);
        QCOMPARE(now(), 1000.0);
        clock.advance(2.5);
        QCOMPARE(now(), 1002.5);
    }
    // Back on the system clock: well past 2020 in reference seconds.
    QVERIFY(now() > 600000000.0);
}

void TestPlatform::uuids()
{
    const QString id = newUUIDString();
    QCOMPARE(id.size(), 36);
    QCOMPARE(id, id.toUpper());
    QVERIFY(isUUIDString(id));
    QVERIFY(isUUIDString(id.toLower()));
    QVERIFY(!isUUIDString(QStringLiteral("{") + id + QStringLiteral("}")));
    QVERIFY(newUUIDString() != id);
}

void TestPlatform::manualSchedulerOrder()
{
    ManualClock clock(0.0);
    ManualScheduler scheduler(&clock);
    QStringList ran;
    scheduler.postAfter(2.0, [&] { ran << "late"; });
    const TaskId cancelled = scheduler.postAfter(1.0, [&] { ran << "cancelled"; });
    scheduler.postAfter(1.0, [&] {
        ran << QStringLiteral("one@%1").arg(clock.now());
        // Work posted while running still runs within the same advance.
        scheduler.postAfter(0.5, [&] { ran << QStringLiteral("chained@%1").arg(clock.now()); });
    });
    scheduler.post([&] { ran << "now"; });
    scheduler.cancel(cancelled);
    QCOMPARE(scheduler.pendingCount(), 3);

    scheduler.advance(1.75);
    QCOMPARE(ran, (QStringList{"now", "one@1", "chained@1.5"}));
    QCOMPARE(clock.now(), 1.75);
    scheduler.advance(10);
    QCOMPARE(ran.last(), QStringLiteral("late"));
    QCOMPARE(scheduler.pendingCount(), 0);
}

void TestPlatform::debouncerReplacesPendingRun()
{
    ManualScheduler scheduler;
    ScopedScheduler scoped(&scheduler);
    int runs = 0;
    Debouncer debounce(0.5);
    for (int i = 0; i < 10; ++i) {
        debounce.schedule([&] { ++runs; });
        scheduler.advance(0.04);
    }
    // The last call came at 0.36 s, so the run falls due at 0.86 s.
    QVERIFY(debounce.pending());
    scheduler.advance(0.45);
    QCOMPARE(runs, 0);
    scheduler.advance(0.02);
    QCOMPARE(runs, 1);
    QVERIFY(!debounce.pending());

    debounce.schedule([&] { ++runs; });
    debounce.cancel();
    scheduler.advance(5);
    QCOMPARE(runs, 1);

    {
        Debouncer dropped(0.1);
        dropped.schedule([&] { ++runs; });
    }
    scheduler.advance(5);
    QCOMPARE(runs, 1);
}

void TestPlatform::qtSchedulerPostsAndCancels()
{
    QtScheduler scheduler;
    int posted = 0, delayed = 0, cancelled = 0;
    QThread *mainThread = QThread::currentThread();
    bool onMain = false;

    std::thread worker([&] {
        scheduler.post([&] { ++posted; onMain = QThread::currentThread() == mainThread; });
        const TaskId id = scheduler.postAfter(0.05, [&] { ++cancelled; });
        scheduler.cancel(id);
        scheduler.postAfter(0.05, [&] { ++delayed; });
    });
    worker.join();
    QTRY_COMPARE(posted, 1);
    QVERIFY(onMain);
    QTRY_COMPARE(delayed, 1);
    QTest::qWait(100);
    QCOMPARE(cancelled, 0);

    const TaskId id = scheduler.postAfter(0.02, [&] { ++cancelled; });
    scheduler.cancel(id);
    QTest::qWait(60);
    QCOMPARE(cancelled, 0);
}

void TestPlatform::defaultsLayers()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("scope/Vellora.conf");
    {
        Defaults defaults(path);
        defaults.registerDefaults({{"gridSortOrder", "newest"}, {"sidebarWidth", 244.0}, {"inspectorVisible", false}});
        QCOMPARE(defaults.string("gridSortOrder"), QStringLiteral("newest"));
        QVERIFY(!defaults.hasExplicitValue("gridSortOrder"));

        defaults.set("gridSortOrder", "az");
        defaults.set("localStorageCapMB", 512);
        QCOMPARE(defaults.string("gridSortOrder"), QStringLiteral("az"));
        QCOMPARE(defaults.explicitKeys().size(), 2);

        defaults.setArgumentDomain({"vellora", "-gridSortOrder", "za", "--import", "-inspectorVisible", "YES"});
        QCOMPARE(defaults.string("gridSortOrder"), QStringLiteral("za"));
        QCOMPARE(defaults.boolean("inspectorVisible"), true);
        // The argument domain is never written: the explicit value stays.
        QCOMPARE(defaults.explicitValue("gridSortOrder").toString(), QStringLiteral("az"));
        QCOMPARE(defaults.number("sidebarWidth"), 244.0);
        QCOMPARE(defaults.integer("missing", 7), qint64(7));
    }
    Defaults reopened(path);
    QCOMPARE(reopened.integer("localStorageCapMB"), qint64(512));
    QCOMPARE(reopened.string("gridSortOrder"), QStringLiteral("az"));
    reopened.remove("gridSortOrder");
    QVERIFY(!reopened.hasExplicitValue("gridSortOrder"));
}

void TestPlatform::defaultsChangedSignal()
{
    QTemporaryDir dir;
    Defaults defaults(dir.filePath("d.conf"));
    QSignalSpy spy(&defaults, &Defaults::changed);
    defaults.set("lastBoard", "inbox");
    defaults.set("lastBoard", "inbox"); // unchanged: no signal
    defaults.remove("lastBoard");
    defaults.remove("lastBoard");
    QCOMPARE(spy.count(), 2);
    QCOMPARE(spy.at(0).at(0).toString(), QStringLiteral("lastBoard"));
}

void TestPlatform::defaultsSurviveAbandonedLock()
{
    // A writer killed mid-write leaves an empty lock behind; later writes must
    // neither stall on it nor lose their value.
    QTemporaryDir dir;
    const QString path = dir.filePath("d.conf");
    QFile lock(path + ".lock");
    QVERIFY(lock.open(QIODevice::WriteOnly));
    lock.close();
    const QDateTime old = QDateTime::currentDateTime().addSecs(-10);
    QVERIFY(lock.open(QIODevice::ReadWrite));
    QVERIFY(lock.setFileTime(old, QFileDevice::FileModificationTime));
    lock.close();

    {
        Defaults defaults(path);
        defaults.set("lastSyncedAt", 12.5);
    }
    QVERIFY(!QFile::exists(path + ".lock"));
    QCOMPARE(Defaults(path).number("lastSyncedAt"), 12.5);
}

void TestPlatform::contains_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("term");
    QTest::addColumn<bool>("expected");
    QTest::newRow("diacritic and case") << "Le café du coin" << "CAFE" << true;
    QTest::newRow("term with accent") << "cafe racer" << "Café" << true;
    QTest::newRow("german sharp s folds") << "STRASSE" << "straße" << true;
    QTest::newRow("absent") << "poster design" << "logo" << false;
    QTest::newRow("empty term") << "anything" << "" << false;
    QTest::newRow("empty text") << "" << "a" << false;
    QTest::newRow("combining form in text") << QString::fromUtf8("cafe\xCC\x81") << "café" << true;
}

void TestPlatform::contains()
{
    QFETCH(QString, text);
    QFETCH(QString, term);
    QFETCH(bool, expected);
    QCOMPARE(localizedStandardContains(text, term), expected);
}

void TestPlatform::lowercasing()
{
    QCOMPARE(lowercased(QStringLiteral("ÀÉÎ Dribbble")), QStringLiteral("àéî dribbble"));
    QCOMPARE(lowercased(QString::fromUtf8("ΣΊΣΥΦΟΣ")), QString::fromUtf8("σίσυφος"));
    QVERIFY(caseInsensitiveEquals(QStringLiteral("Tag"), QStringLiteral("tAG")));
}

void TestPlatform::listFormatting_data()
{
    QTest::addColumn<QStringList>("parts");
    QTest::addColumn<int>("join");
    QTest::addColumn<QString>("expected");
    QTest::newRow("empty") << QStringList{} << int(ListJoin::And) << "";
    QTest::newRow("one") << QStringList{"red"} << int(ListJoin::And) << "red";
    QTest::newRow("two and") << QStringList{"red", "blue"} << int(ListJoin::And) << "red and blue";
    QTest::newRow("two or") << QStringList{"red", "blue"} << int(ListJoin::Or) << "red or blue";
}

void TestPlatform::listFormatting()
{
    QFETCH(QStringList, parts);
    QFETCH(int, join);
    QFETCH(QString, expected);
    QCOMPARE(formatList(parts, ListJoin(join)), expected);
}

namespace {

QByteArray encodedPicture(const char *format, QSize size, bool progressive = false)
{
    QImage image(size, QImage::Format_RGB32);
    quint32 noise = 7;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            image.setPixel(x, y, qRgb(x * 255 / size.width(), y * 255 / size.height(), (noise = noise * 1664525u + 1013904223u) >> 24));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setProgressiveScanWrite(progressive);
    writer.write(image);
    return bytes;
}

// A JPEG as cameras write it: an Exif segment holding a small JPEG of its
// own (the thumbnail, with its own end marker) before the picture data.
QByteArray jpegWithThumbnail(qsizetype *thumbnailEnd)
{
    const QByteArray main = encodedPicture("JPEG", QSize(300, 200));
    const QByteArray payload = QByteArray("Exif\0\0", 6) + encodedPicture("JPEG", QSize(16, 12));
    const qsizetype length = payload.size() + 2;
    QByteArray segment = "\xFF\xE1";
    segment += char(length >> 8);
    segment += char(length & 0xFF);
    segment += payload;
    *thumbnailEnd = 2 + segment.size();
    return main.left(2) + segment + main.mid(2);
}

} // namespace

// A picture in a watched folder is taken once it is whole: a cut anywhere
// leaves it waiting, while bytes after the format's end do not.
void TestPlatform::pictureEndings_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("whole");
    const QByteArray png = encodedPicture("PNG", QSize(120, 80));
    const QByteArray jpeg = encodedPicture("JPEG", QSize(300, 200));
    const QByteArray progressive = encodedPicture("JPEG", QSize(300, 200), true);
    qsizetype thumbnailEnd = 0;
    const QByteArray withThumbnail = jpegWithThumbnail(&thumbnailEnd);
    QVERIFY(!QImage::fromData(withThumbnail).isNull());
    // What phones append after a photo's end: a video, itself holding
    // bytes that look like JPEG markers.
    const QByteArray video = QByteArray("\0\0\0\x18" "ftypmp42", 12) + QByteArray("\xFF\xD8\xFF\xE0\x00\x10", 6) + QByteArray(4000, '\x5A');

    QTest::newRow("png") << png << true;
    QTest::newRow("png cut in its data") << png.left(png.size() / 2) << false;
    QTest::newRow("png without the end chunk's check") << png.left(png.size() - 4) << false;
    QTest::newRow("png with zero padding") << png + QByteArray(512, '\0') << true;
    QTest::newRow("png with bytes after its end") << png + QByteArray("trailer") << true;
    QTest::newRow("jpeg") << jpeg << true;
    QTest::newRow("jpeg cut in the picture data") << jpeg.left(jpeg.size() * 6 / 10) << false;
    QTest::newRow("jpeg without its last byte") << jpeg.left(jpeg.size() - 1) << false;
    QTest::newRow("jpeg with zero padding") << jpeg + QByteArray(512, '\0') << true;
    QTest::newRow("jpeg with a video after its end") << jpeg + video << true;
    QTest::newRow("jpeg with a thumbnail") << withThumbnail << true;
    QTest::newRow("jpeg cut just after its thumbnail") << withThumbnail.left(thumbnailEnd) << false;
    QTest::newRow("progressive jpeg") << progressive << true;
    QTest::newRow("progressive jpeg cut") << progressive.left(progressive.size() / 2) << false;
    QTest::newRow("another format") << QByteArray("GIF89a\x01\x00") << true;
}

void TestPlatform::pictureEndings()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, whole);
    QCOMPARE(endsWhole(bytes), whole);
}

QTEST_GUILESS_MAIN(TestPlatform)
#include "tst_platform.moc"
