#include "../library/StoreFixtures.h"

#include "integration/DBusNames.h"
#include "integration/WidgetSnapshot.h"

#include "library/LibraryStore.h"
#include "platform/Bundle.h"
#include "platform/Defaults.h"
#include "platform/ImageIO.h"

#include <QDBusConnection>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <mutex>
#include <sys/stat.h>

using namespace vellora;

namespace {

std::mutex g_logLock;
QStringList g_log;
QtMessageHandler g_previous = nullptr;

void captureLog(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message.startsWith(QLatin1String("widget snapshot:"))) {
        std::lock_guard guard(g_logLock);
        g_log << message;
        return;
    }
    g_previous(type, context, message);
}

QStringList takeLog()
{
    std::lock_guard guard(g_logLock);
    return std::exchange(g_log, {});
}

bool writePicture(const QString &path, QColor colour, QSize size = {1024, 768})
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(encodeJPEG(image, 0.9)) > 0;
}

Item picture(const QString &id)
{
    Item item = storetest::namedItem(id);
    item.pixelWidth = 1024;
    item.pixelHeight = 768;
    item.contentHash = QStringLiteral("00");
    return item;
}

QString group()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/Vellora/Group";
}

QString widgetFolder()
{
    return group() + "/Widget";
}

QStringList indexIds()
{
    QFile file(widgetFolder() + "/index.json");
    if (!file.open(QIODevice::ReadOnly))
        return {"<no index>"};
    QStringList ids;
    for (const QJsonValue &v : QJsonDocument::fromJson(file.readAll()).array())
        ids << v.toString();
    return ids;
}

QStringList jpegNames()
{
    return QDir(widgetFolder()).entryList({"*.jpg"}, QDir::Files, QDir::Name);
}

} // namespace

class TestWidgetSnapshot : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Defaults> m_settings;
    std::unique_ptr<LibraryStore> m_store;

    QString root() const { return m_dir->path() + "/Library"; }

    // Items "I0".."In-1"; `thumbnails` and `covers` say which have which file.
    void openLibrary(int count, const QList<int> &missing = {}, const QList<int> &covers = {},
                     const QStringList &extraIds = {})
    {
        m_store = std::make_unique<LibraryStore>(root(), false, *m_settings);
        QList<Item> items;
        QStringList ids;
        for (int i = 0; i < count; ++i)
            ids << QStringLiteral("I%1").arg(i);
        ids += extraIds;
        for (int i = 0; i < ids.size(); ++i) {
            Item item = picture(ids.at(i));
            item.collectionIds = {m_store->defaultBoardId()};
            if (!missing.contains(i) && !ids.at(i).contains('/'))
                QVERIFY(writePicture(root() + "/thumbnails/" + item.thumbnailFilename, Qt::blue));
            if (covers.contains(i))
                QVERIFY(writePicture(root() + "/covers/" + item.thumbnailFilename, Qt::red, {600, 2000}));
            items << item;
        }
        m_store->appendItems(items);
    }

private slots:
    void initTestCase()
    {
        setBundleIdentifier(QString::fromLatin1(kVelloraBundleIdentifier));
        g_previous = qInstallMessageHandler(captureLog);
    }

    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_settings = std::make_unique<Defaults>(m_dir->path() + "/settings.conf");
        QFile::remove(group());
        QDir(group()).removeRecursively();
        takeLog();
    }

    void cleanup()
    {
        WidgetSnapshot::waitForIdle();
        m_store.reset();
    }

    void snapshot_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<QList<int>>("missing");
        QTest::addColumn<QList<int>>("covers");
        QTest::addColumn<QStringList>("extraIds");
        QTest::addColumn<int>("expected");
        QTest::newRow("30 items give 12") << 30 << QList<int>{} << QList<int>{} << QStringList{} << 12;
        QTest::newRow("5 items give 5") << 5 << QList<int>{} << QList<int>{} << QStringList{} << 5;
        QTest::newRow("covers first") << 3 << QList<int>{} << QList<int>{0, 2} << QStringList{} << 3;
        QTest::newRow("no picture, left out") << 5 << QList<int>{1, 3} << QList<int>{} << QStringList{} << 3;
        QTest::newRow("cover without thumbnail") << 2 << QList<int>{0} << QList<int>{0} << QStringList{} << 2;
        QTest::newRow("unsafe ids skipped") << 2 << QList<int>{} << QList<int>{} << QStringList{"..", "a/b"} << 2;
        QTest::newRow("empty library") << 0 << QList<int>{} << QList<int>{} << QStringList{} << 0;
    }
    void snapshot()
    {
        QFETCH(int, count);
        QFETCH(QList<int>, missing);
        QFETCH(QList<int>, covers);
        QFETCH(QStringList, extraIds);
        QFETCH(int, expected);
        openLibrary(count, missing, covers, extraIds);
        // An earlier snapshot's files never survive.
        QVERIFY(QDir().mkpath(widgetFolder()));
        QVERIFY(writePicture(widgetFolder() + "/OLD.jpg", Qt::green));

        WidgetSnapshot::refresh(*m_store, true);

        const QStringList ids = indexIds();
        QCOMPARE(ids.size(), expected);
        QCOMPARE(QSet<QString>(ids.begin(), ids.end()).size(), expected);
        QStringList files;
        for (const QString &id : ids)
            files << id + ".jpg";
        files.sort();
        QCOMPARE(jpegNames(), files);
        QCOMPARE(QDir(widgetFolder()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).size(),
                 expected + 1);
        for (const QString &id : ids) {
            QVERIFY(!id.contains('/') && id != "..");
            const int i = id.mid(1).toInt();
            QVERIFY(!missing.contains(i) || covers.contains(i));
            QImage jpeg(widgetFolder() + "/" + id + ".jpg");
            QVERIFY(!jpeg.isNull());
            QVERIFY(std::max(jpeg.width(), jpeg.height()) <= WidgetSnapshot::kMaxPixelSize);
            QCOMPARE(std::max(jpeg.width(), jpeg.height()), WidgetSnapshot::kMaxPixelSize);
            // Red covers, blue thumbnails.
            const QColor centre = jpeg.pixelColor(jpeg.width() / 2, jpeg.height() / 2);
            if (covers.contains(i))
                QVERIFY2(centre.red() > 200 && centre.blue() < 60, qPrintable(id));
            else
                QVERIFY2(centre.blue() > 200 && centre.red() < 60, qPrintable(id));
        }
        if (expected == 0) {
            QFile index(widgetFolder() + "/index.json");
            QVERIFY(index.open(QIODevice::ReadOnly));
            QCOMPARE(index.readAll(), QByteArray("[]"));
        }
        QCOMPARE(takeLog(), QStringList{QStringLiteral("widget snapshot: %1 items -> %2").arg(expected).arg(widgetFolder())});
        // No staging folder is left beside it, and pollers see a new stamp.
        QCOMPARE(QDir(group()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 (QStringList{"Widget", "Widget.stamp"}));
    }

    // A FIFO put where a thumbnail belongs (the library may be a synced folder
    // others write into) is passed over; it must not hang the snapshot.
    void fifoThumbnailPassedOver()
    {
        openLibrary(3, {1});
        QVERIFY(QDir().mkpath(root() + "/thumbnails"));
        QCOMPARE(::mkfifo(QFile::encodeName(root() + "/thumbnails/I1.jpg").constData(), 0600), 0);

        WidgetSnapshot::refresh(*m_store, true);

        QStringList ids = indexIds();
        ids.sort();
        QCOMPARE(ids, (QStringList{"I0", "I2"}));
        QCOMPARE(takeLog(), QStringList{QStringLiteral("widget snapshot: 2 items -> %1").arg(widgetFolder())});
    }

    void noContainerOnlyLogs()
    {
        openLibrary(3);
        QVERIFY(QDir().mkpath(QFileInfo(group()).absolutePath()));
        QFile blocker(group());
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        QDBusConnection bus = QDBusConnection::sessionBus();
        QVERIFY(bus.connect(QString(), kApplicationPath, kApplicationInterface, "WidgetSnapshotChanged", this,
                            SLOT(onChanged())));
        m_changes = 0;

        WidgetSnapshot::refresh(*m_store, true);

        QCOMPARE(takeLog(), QStringList{"widget snapshot: no App Group container"});
        QVERIFY(QFileInfo(group()).isFile());
        QTest::qWait(200);
        QCOMPARE(m_changes, 0);
        bus.disconnect(QString(), kApplicationPath, kApplicationInterface, "WidgetSnapshotChanged", this,
                       SLOT(onChanged()));
    }

    // Readers that do not poll the stamp listen on the bus.
    void changeIsAnnounced()
    {
        QDBusConnection bus = QDBusConnection::sessionBus();
        QVERIFY2(bus.isConnected(), "run under dbus-run-session");
        openLibrary(4);
        QVERIFY(bus.connect(QString(), kApplicationPath, kApplicationInterface, "WidgetSnapshotChanged", this,
                            SLOT(onChanged())));
        m_changes = 0;
        WidgetSnapshot::refresh(*m_store, true);
        QTRY_COMPARE(m_changes, 1);
        QVERIFY(QFileInfo(group() + "/Widget.stamp").isFile());
        bus.disconnect(QString(), kApplicationPath, kApplicationInterface, "WidgetSnapshotChanged", this,
                       SLOT(onChanged()));
    }

    // Refreshes that come while one writes fold into one more pass, which
    // writes the latest library.
    void refreshesCoalesce()
    {
        openLibrary(30);
        for (int i = 0; i < 10; ++i)
            WidgetSnapshot::refresh(*m_store, false);
        // The last refresh sees another library.
        m_store->replaceItems({});
        QList<Item> latest;
        for (const QString id : {"N1", "N2"}) {
            Item item = picture(id);
            item.collectionIds = {m_store->defaultBoardId()};
            QVERIFY(writePicture(root() + "/thumbnails/" + item.thumbnailFilename, Qt::blue));
            latest << item;
        }
        m_store->appendItems(latest);
        WidgetSnapshot::refresh(*m_store, false);
        WidgetSnapshot::waitForIdle();

        QStringList ids = indexIds();
        ids.sort();
        QCOMPARE(ids, (QStringList{"N1", "N2"}));
        QCOMPARE(jpegNames(), (QStringList{"N1.jpg", "N2.jpg"}));
        const QStringList passes = takeLog();
        QVERIFY2(passes.size() < 11, qPrintable(passes.join('\n')));
        QCOMPARE(passes.last(), QStringLiteral("widget snapshot: 2 items -> %1").arg(widgetFolder()));
    }

    // The shuffle keeps every item once and reaches every position.
    void workListShuffles()
    {
        QList<Item> items;
        for (int i = 0; i < 5; ++i)
            items << picture(QStringLiteral("I%1").arg(i));
        // Always the largest choice: each step swaps with the last.
        const auto last = [](quint64 bound) { return bound - 1; };
        QList<WidgetSnapshotEntry> entries = WidgetSnapshot::workList(items, "/lib", last);
        QStringList order;
        for (const auto &e : entries)
            order << e.id;
        QCOMPARE(order, (QStringList{"I4", "I0", "I1", "I2", "I3"}));
        QCOMPARE(entries.first().coverPath, QString("/lib/covers/I4.jpg"));
        QCOMPARE(entries.first().thumbnailPath, QString("/lib/thumbnails/I4.jpg"));

        QSet<QString> firsts;
        for (int round = 0; round < 200; ++round)
            firsts.insert(WidgetSnapshot::workList(items, "/lib").first().id);
        QCOMPARE(firsts.size(), 5);
    }

public slots:
    void onChanged() { ++m_changes; }

private:
    int m_changes = 0;
};

QTEST_MAIN(TestWidgetSnapshot)
#include "tst_widgetsnapshot.moc"
