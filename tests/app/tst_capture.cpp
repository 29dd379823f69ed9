// The ways into the library without the main window: the Add to Vellora
// request on the bus and on the command line, the drop shelf, and the
// screenshot folder watch. Runs inside a session bus of its own.

#include "CommandLineFixture.h"

#include "app/AddToLibraryMode.h"
#include "app/Capture.h"
#include "app/ServiceProvider.h"
#include "integration/DBusNames.h"
#include "library/LibraryFileAccess.h"
#include "library/LibraryStore.h"
#include "platform/Defaults.h"
#include "platform/ScreenshotFolder.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QMainWindow>
#include <QMimeData>
#include <QPainter>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace vellora;

namespace {

// A picture whose content differs with `seed`, so the import never takes two
// of them for one.
QByteArray pictureBytes(int seed)
{
    QImage image(64 + seed % 7, 48, QImage::Format_RGB32);
    image.fill(QColor::fromHsv((seed * 37) % 360, 200, 200));
    QPainter painter(&image);
    painter.fillRect(QRect(seed % 40, 8, 12, 12), Qt::black);
    painter.end();
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// A photo-like JPEG large enough that a cut anywhere past its header falls in
// the picture data, where Qt's reader still makes a picture of it.
QByteArray jpegBytes()
{
    QImage image(800, 600, QImage::Format_RGB32);
    quint32 noise = 11;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            image.setPixel(x, y, qRgb(x * 255 / 800, y * 255 / 600, (noise = noise * 1664525u + 1013904223u) >> 24));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", 90);
    return bytes;
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    file.close();
}

QStringList names(const QList<QVariant> &arguments)
{
    QStringList out;
    for (const QString &path : arguments.at(0).toStringList())
        out << QFileInfo(path).fileName();
    return out;
}

// Every file name the spy saw handed to the import, in order.
QStringList imported(const QSignalSpy &spy)
{
    QStringList out;
    for (const QList<QVariant> &call : spy)
        out << names(call);
    return out;
}

QStringList sourcesOf(const LibraryStore &store, const QString &kind)
{
    QStringList out;
    for (const Item &item : store.items()) {
        if (item.kind == kind)
            out << (kind == QLatin1String("link") ? item.sourceURL.value_or(QString()) : item.originalFilename);
    }
    out.sort();
    return out;
}

struct Library {
    QTemporaryDir dir;
    std::unique_ptr<Defaults> settings;
    std::unique_ptr<LibraryStore> store;
    Library()
    {
        settings = std::make_unique<Defaults>(dir.filePath("settings.ini"));
        store = std::make_unique<LibraryStore>(dir.filePath("Library"), false, *settings);
    }
    QString inbox() const { return store->defaultBoardId(); }
    bool allInInbox() const
    {
        for (const Item &item : store->items()) {
            if (item.collectionIds != QStringList{inbox()})
                return false;
        }
        return true;
    }
};

// A watched screenshot folder with its Capture.
struct Watch {
    Library library;
    QTemporaryDir folder;
    std::unique_ptr<Capture> capture;
    std::unique_ptr<QSignalSpy> spy;
    Watch()
    {
        library.settings->set(QString::fromLatin1(kScreenshotFolderKey), folder.path());
        capture = std::make_unique<Capture>(*library.store, *library.settings);
        spy = std::make_unique<QSignalSpy>(capture.get(), &Capture::screenshotsImported);
    }
    bool start()
    {
        QSignalSpy started(capture.get(), &Capture::watchingStarted);
        capture->setWatching(true);
        return started.wait(5000) || !started.isEmpty();
    }
    QString path(const QString &name) const { return folder.filePath(name); }
};

} // namespace

class CaptureTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void requestedURLs_data();
    void requestedURLs();
    void addToVelloraOverTheBus_data();
    void addToVelloraOverTheBus();
    void addToLibraryCommand();
    void dropShelf();
    void imageFilesOfAFolder();
    void screenshotFolderChoice();
    void slowWriteIsTakenOnceAfterClose();
    void hiddenFilesAndNonImagesAreLeft();
    void writtenInSeveralPassesIsTakenWhenWhole_data();
    void writtenInSeveralPassesIsTakenWhenWhole();
    void folderThatGoesIsWatchedWhenBack_data();
    void folderThatGoesIsWatchedWhenBack();
    void removedAndWrittenAgainIsNew();
    void renamedWithinTheFolder_data();
    void renamedWithinTheFolder();
    void settingOffStopsImportsAtOnce();
    void pendingStartIsAbandoned();
};

void CaptureTest::initTestCase()
{
    QVERIFY2(QDBusConnection::sessionBus().isConnected(), "run inside dbus-run-session");
}

void CaptureTest::requestedURLs_data()
{
    QTest::addColumn<QStringList>("uris");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("addresses win over the text")
        << QStringList{"file:///tmp/a.png", "https://example.org/x"} << "example.com"
        << QStringList{"file:///tmp/a.png", "https://example.org/x"};
    QTest::newRow("no address: the text's lines")
        << QStringList{} << "example.com/one\n\nnot a link\r\nhttp://example.org/two"
        << QStringList{"https://example.com/one", "http://example.org/two"};
    QTest::newRow("relative words are no addresses")
        << QStringList{"a.png", ""} << "example.com" << QStringList{"https://example.com"};
    QTest::newRow("every line separator")
        << QStringList{} << QString("a.com\u000Bb.com\u000Cc.com\rd.com\u0085e.com\u2028f.com\u2029g.com")
        << QStringList{"https://a.com", "https://b.com", "https://c.com", "https://d.com", "https://e.com",
                       "https://f.com", "https://g.com"};
    QTest::newRow("nothing") << QStringList{} << QString() << QStringList{};
}

void CaptureTest::requestedURLs()
{
    QFETCH(QStringList, uris);
    QFETCH(QString, text);
    QFETCH(QStringList, expected);
    QStringList got;
    for (const QUrl &url : vellora::requestedURLs(uris, text))
        got << url.toString();
    QCOMPARE(got, expected);
}

void CaptureTest::addToVelloraOverTheBus_data()
{
    QTest::addColumn<bool>("files");
    QTest::addColumn<QStringList>("uris");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("images");
    QTest::addColumn<QStringList>("links");
    // Closed loopback ports: the link road fails at once and keeps the item.
    QTest::newRow("file URIs") << true << QStringList{} << "http://127.0.0.1:1/ignored"
                               << QStringList{"one.png", "two.png"} << QStringList{};
    QTest::newRow("web links") << false << QStringList{"http://127.0.0.1:1/a", "http://127.0.0.1:1/b"} << QString()
                               << QStringList{} << QStringList{"http://127.0.0.1:1/a", "http://127.0.0.1:1/b"};
    QTest::newRow("three lines: a link, a blank, no link")
        << false << QStringList{} << "127.0.0.1:1/page\n\nplease look at this" << QStringList{}
        << QStringList{"https://127.0.0.1:1/page"};
}

void CaptureTest::addToVelloraOverTheBus()
{
    QFETCH(bool, files);
    QFETCH(QStringList, uris);
    QFETCH(QString, text);
    QFETCH(QStringList, images);
    QFETCH(QStringList, links);

    Library library;
    library.store->createCollection("Second"); // the first collection must win
    if (files) {
        int seed = 0;
        for (const QString &name : images) {
            writeFile(library.dir.filePath(name), pictureBytes(++seed));
            uris << QUrl::fromLocalFile(library.dir.filePath(name)).toString();
        }
    }

    // The window, as the program runs it.
    QMainWindow window;
    window.show();
    ServiceProvider provider(*library.store);
    QVERIFY(provider.exportOnSessionBus());
    auto unexport = qScopeGuard([] {
        QDBusConnection::sessionBus().unregisterObject(QString::fromLatin1(kApplicationPath));
    });

    // Another client on the bus, as a file manager would be.
    QDBusConnection client = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "client");
    QDBusMessage call = QDBusMessage::createMethodCall(QDBusConnection::sessionBus().baseService(),
                                                       QString::fromLatin1(kApplicationPath),
                                                       QString::fromLatin1(kCaptureInterface), "AddToVellora");
    call << uris << text;
    QDBusPendingCall pending = client.asyncCall(call);
    QTRY_VERIFY(pending.isFinished());
    QVERIFY2(!pending.isError(), qPrintable(pending.error().message()));

    QTRY_COMPARE(library.store->items().size(), images.size() + links.size());
    QTest::qWait(100); // nothing more arrives
    QCOMPARE(library.store->items().size(), images.size() + links.size());
    QCOMPARE(sourcesOf(*library.store, "image"), images);
    QCOMPARE(sourcesOf(*library.store, "link"), links);
    QVERIFY(library.allInInbox());
    QDBusConnection::disconnectFromBus("client");
}

void CaptureTest::addToLibraryCommand()
{
    ProgramFixture program;
    writeFile(program.work() + "/shot.png", pictureBytes(3));

    // Nothing usable: says why, changes nothing.
    ProgramRun nothing = program.run({"--add-to-library", "no such thing"});
    VERIFY_RUN(nothing, 1, "");
    QVERIFY(nothing.err.contains("nothing to add"));

    // No running instance: the command does the work on the library itself.
    ProgramRun alone = program.run({"--add-to-library", "shot.png", "http://127.0.0.1:1/page"});
    VERIFY_RUN(alone, 0, "");
    const LibraryRead read = readLibraryFile(program.root());
    QVERIFY(read.file);
    QCOMPARE(read.file->items.size(), 2);
    for (const Item &item : read.file->items)
        QCOMPARE(item.collectionIds, QStringList{read.file->collections.first().id});

    // A running instance takes the request over the bus.
    Library library;
    ServiceProvider provider(*library.store);
    QVERIFY(provider.exportOnSessionBus());
    QDBusConnection bus = QDBusConnection::sessionBus();
    QVERIFY(bus.registerService(QString::fromLatin1(kApplicationService)));
    auto cleanup = qScopeGuard([&bus] {
        bus.unregisterService(QString::fromLatin1(kApplicationService));
        bus.unregisterObject(QString::fromLatin1(kApplicationPath));
    });
    writeFile(program.work() + "/other.png", pictureBytes(4));
    ProgramRun sent = program.run({"--add-to-library", "other.png", "127.0.0.1:1/sent"});
    VERIFY_RUN(sent, 0, "");
    QTRY_COMPARE(library.store->items().size(), 2);
    QCOMPARE(sourcesOf(*library.store, "image"), QStringList{"other.png"});
    QCOMPARE(sourcesOf(*library.store, "link"), QStringList{"https://127.0.0.1:1/sent"});
    // The program's own library was not touched.
    QCOMPARE(readLibraryFile(program.root()).file->items.size(), 2);
}

void CaptureTest::dropShelf()
{
    Library library;
    DropShelf shelf(*library.store);
    shelf.show();
    QTemporaryDir dir;
    writeFile(dir.filePath("a.png"), pictureBytes(1));
    writeFile(dir.filePath("b.png"), pictureBytes(2));

    QMimeData empty;
    empty.setText("just words");
    QVERIFY(!shelf.handleDrop(&empty));

    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(dir.filePath("a.png")), QUrl("http://127.0.0.1:1/dropped"),
                  QUrl::fromLocalFile(dir.filePath("b.png"))});
    QVERIFY(shelf.handleDrop(&mime));
    QTRY_COMPARE(library.store->items().size(), 3);
    QCOMPARE(sourcesOf(*library.store, "image"), (QStringList{"a.png", "b.png"}));
    QCOMPARE(sourcesOf(*library.store, "link"), QStringList{"http://127.0.0.1:1/dropped"});
    QVERIFY(library.allInInbox());

    QVERIFY(shelf.grab().save(QCoreApplication::applicationDirPath() + "/dropshelf.png"));
    QVERIFY(Capture::inboxIcon().pixmap(18, 18).save(QCoreApplication::applicationDirPath() + "/inbox-icon.png"));
}

void CaptureTest::imageFilesOfAFolder()
{
    QTemporaryDir dir;
    for (const char *name : {"a.png", "b.jpg", "notes.txt", ".c.png", "noextension"})
        writeFile(dir.filePath(name), "x");
    QDir(dir.path()).mkdir("folder.png");
    QFile::link(dir.filePath("a.png"), dir.filePath("link.png"));
    const QSet<QString> expected{dir.filePath("a.png"), dir.filePath("b.jpg")};
    QCOMPARE(imageFiles(dir.path()), expected);
    QCOMPARE(imageFiles(dir.filePath("missing")), QSet<QString>{});
}

void CaptureTest::screenshotFolderChoice()
{
    const QString home = QDir::homePath();
    QCOMPARE(screenshotFolder(QString("~/Shots")), home + "/Shots");
    QCOMPARE(screenshotFolder(QString("/somewhere/else/")), QString("/somewhere/else"));
    const QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    QDir(pictures + "/Screenshots").removeRecursively();
    QCOMPARE(screenshotFolder(QString()), desktop);
    QVERIFY(QDir().mkpath(pictures + "/Screenshots"));
    QCOMPARE(screenshotFolder(QString()), pictures + "/Screenshots");
    QDir(pictures + "/Screenshots").removeRecursively();
}

void CaptureTest::slowWriteIsTakenOnceAfterClose()
{
    Watch watch;
    writeFile(watch.path("before.png"), pictureBytes(1));
    QVERIFY(watch.start());
    QVERIFY(watch.capture->seen().contains(watch.path("before.png")));

    const QByteArray bytes = pictureBytes(2);
    QFile slow(watch.path("slow.png"));
    QVERIFY(slow.open(QIODevice::WriteOnly));
    slow.write(bytes.left(40));
    slow.flush();
    // Another screenshot finishes while this one is still being written.
    writeFile(watch.path("quick.png"), pictureBytes(3));
    QTRY_COMPARE(imported(*watch.spy), QStringList{"quick.png"});
    slow.write(bytes.mid(40, 100));
    slow.flush();
    QTest::qWait(250);
    QCOMPARE(imported(*watch.spy), QStringList{"quick.png"});
    slow.write(bytes.mid(140));
    slow.close();
    QTRY_COMPARE(imported(*watch.spy), (QStringList{"quick.png", "slow.png"}));
    QTRY_COMPARE(watch.library.store->items().size(), 2);
    QTest::qWait(250);
    QCOMPARE(watch.spy->size(), 2);
}

// Some programs open, write and close a picture several times: each close
// before the last leaves a part that is not whole (a cut-off PNG does not
// decode; a cut-off JPEG does, grey at the bottom). That part is neither
// imported nor remembered, so the whole picture arrives at the last close.
void CaptureTest::writtenInSeveralPassesIsTakenWhenWhole_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QList<int>>("cuts"); // percent of the file written when each pass but the last closes
    QTest::newRow("png in thirds") << "passes.png" << pictureBytes(4) << QList<int>{33, 67};
    const QByteArray jpeg = jpegBytes();
    QTest::newRow("jpeg at 30 %") << "passes.jpg" << jpeg << QList<int>{30};
    QTest::newRow("jpeg at 60 %") << "passes.jpg" << jpeg << QList<int>{60};
    QTest::newRow("jpeg at 90 %") << "passes.jpg" << jpeg << QList<int>{90};
    QTest::newRow("jpeg at 30, 60 and 90 %") << "passes.jpg" << jpeg << QList<int>{30, 60, 90};
    // A phone's motion photo: the video comes after the picture's end.
    const QByteArray video = QByteArray("\0\0\0\x18" "ftypmp42", 12) + QByteArray(20000, '\x5A');
    QTest::newRow("jpeg with a video after it, at 50 %") << "motion.jpg" << jpeg + video << QList<int>{50};
}

void CaptureTest::writtenInSeveralPassesIsTakenWhenWhole()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(QList<int>, cuts);
    Watch watch;
    QVERIFY(watch.start());
    QList<qsizetype> ends;
    for (int percent : std::as_const(cuts))
        ends << bytes.size() * percent / 100;
    ends << bytes.size();
    qsizetype written = 0;
    for (qsizetype end : std::as_const(ends)) {
        QFile file(watch.path(name));
        QVERIFY(file.open(written == 0 ? QIODevice::WriteOnly : QIODevice::Append));
        file.write(bytes.mid(written, end - written));
        file.close();
        written = end;
        if (written < bytes.size()) {
            QTest::qWait(300);
            QCOMPARE(watch.spy->size(), 0);
            QVERIFY(!watch.capture->seen().contains(watch.path(name)));
        }
    }
    QTRY_COMPARE(imported(*watch.spy), QStringList{name});
    QTRY_COMPARE(watch.library.store->items().size(), 1);
    QCOMPARE(watch.library.store->items().first().pixelWidth, QImage::fromData(bytes).width());
}

// The screenshot folder removed (or moved away) while watched is waited for:
// once it is back, a screenshot written there is imported, and what came
// back with it is not new.
void CaptureTest::folderThatGoesIsWatchedWhenBack_data()
{
    QTest::addColumn<QString>("goes");      // the screenshot folder, or the folder above it
    QTest::addColumn<bool>("movedAway");    // moved aside and back, not removed and made again
    QTest::addColumn<bool>("writtenAtOnce"); // the screenshot written as soon as the folder is there
    QTest::newRow("removed, made again") << "Pictures/Screenshots" << false << false;
    QTest::newRow("made again to save a screenshot") << "Pictures/Screenshots" << false << true;
    QTest::newRow("folder above removed") << "Pictures" << false << false;
    QTest::newRow("moved away and back") << "Pictures/Screenshots" << true << false;
}

void CaptureTest::folderThatGoesIsWatchedWhenBack()
{
    QFETCH(QString, goes);
    QFETCH(bool, movedAway);
    QFETCH(bool, writtenAtOnce);
    Watch watch;
    const QString shots = watch.path("Pictures/Screenshots");
    QVERIFY(QDir().mkpath(shots));
    watch.library.settings->set(QString::fromLatin1(kScreenshotFolderKey), shots);
    QVERIFY(watch.start());
    writeFile(shots + "/before.png", pictureBytes(1));
    QTRY_COMPARE(imported(*watch.spy), QStringList{"before.png"});
    QTRY_COMPARE(watch.library.store->items().size(), 1);

    const QString gone = watch.path(goes);
    QVERIFY(movedAway ? QDir().rename(gone, gone + "-away") : QDir(gone).removeRecursively());
    QTRY_VERIFY(!watch.capture->isWatching());
    QVERIFY(movedAway ? QDir().rename(gone + "-away", gone) : QDir().mkpath(shots));
    if (!writtenAtOnce)
        QTRY_VERIFY(watch.capture->isWatching());
    writeFile(shots + "/after.png", pictureBytes(2));
    QTRY_COMPARE(imported(*watch.spy), (QStringList{"before.png", "after.png"}));
    QTRY_COMPARE(watch.library.store->items().size(), 2);
    QCOMPARE(watch.capture->watchedFolder(), QFileInfo(shots).absoluteFilePath());
    QTest::qWait(300);
    QCOMPARE(imported(*watch.spy), (QStringList{"before.png", "after.png"}));
}

void CaptureTest::hiddenFilesAndNonImagesAreLeft()
{
    Watch watch;
    QVERIFY(watch.start());
    writeFile(watch.path(".hidden.png"), pictureBytes(1));
    writeFile(watch.path("notes.txt"), "words");
    writeFile(watch.path("shot.png"), pictureBytes(2));
    QTRY_COMPARE(imported(*watch.spy), QStringList{"shot.png"});
    QTest::qWait(250);
    QCOMPARE(imported(*watch.spy), QStringList{"shot.png"});
    QTRY_COMPARE(watch.library.store->items().size(), 1);
    QVERIFY(watch.library.allInInbox());
}

void CaptureTest::removedAndWrittenAgainIsNew()
{
    Watch watch;
    QVERIFY(watch.start());
    writeFile(watch.path("shot.png"), pictureBytes(1));
    QTRY_COMPARE(imported(*watch.spy), QStringList{"shot.png"});
    QVERIFY(QFile::remove(watch.path("shot.png")));
    writeFile(watch.path("shot.png"), pictureBytes(2));
    QTRY_COMPARE(imported(*watch.spy), (QStringList{"shot.png", "shot.png"}));
    QTRY_COMPARE(watch.library.store->items().size(), 2);
    // Written over in place, it is the same file: not new.
    writeFile(watch.path("shot.png"), pictureBytes(3));
    QTest::qWait(300);
    QCOMPARE(watch.spy->size(), 2);
}

void CaptureTest::renamedWithinTheFolder_data()
{
    QTest::addColumn<QString>("temporary");
    QTest::addColumn<bool>("waitForImport"); // rename only after the first import
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("partial name") << "Screenshot.png.part" << false << QStringList{"Screenshot.png"};
    QTest::newRow("hidden name") << ".Screenshot.png" << false << QStringList{"Screenshot.png"};
    QTest::newRow("picture name, renamed at once") << "tmp-1234.png" << false << QStringList{"Screenshot.png"};
    QTest::newRow("picture name, renamed later") << "tmp-1234.png" << true << QStringList{"tmp-1234.png"};
}

void CaptureTest::renamedWithinTheFolder()
{
    QFETCH(QString, temporary);
    QFETCH(bool, waitForImport);
    QFETCH(QStringList, expected);
    Watch watch;
    QVERIFY(watch.start());
    writeFile(watch.path(temporary), pictureBytes(1));
    if (waitForImport)
        QTRY_COMPARE(watch.spy->size(), 1);
    QVERIFY(QFile::rename(watch.path(temporary), watch.path("Screenshot.png")));
    QTRY_COMPARE(imported(*watch.spy), expected);
    QTest::qWait(300);
    QCOMPARE(imported(*watch.spy), expected);
    QVERIFY(watch.capture->seen().contains(watch.path("Screenshot.png")));
    QTRY_COMPARE(watch.library.store->items().size(), 1);
}

void CaptureTest::settingOffStopsImportsAtOnce()
{
    Watch watch;
    QMainWindow window;
    window.show();
    watch.library.settings->set(QString::fromLatin1(kImportScreenshotsKey), true);
    QSignalSpy started(watch.capture.get(), &Capture::watchingStarted);
    watch.capture->start();
    QVERIFY(watch.capture->trayIcon());
    QCOMPARE(watch.capture->trayIcon()->toolTip(), QString("Vellora Inbox"));
    QTRY_COMPARE(started.size(), 1);
    QCOMPARE(started.at(0).at(0).toString(), QFileInfo(watch.folder.path()).absoluteFilePath());

    // The shelf takes over while the window is hidden.
    QVERIFY(!watch.capture->dropShelf()->isVisible());
    window.hide();
    QVERIFY(watch.capture->dropShelf()->isVisible());
    // A click on the tray icon brings the window back, and the shelf goes.
    emit watch.capture->trayIcon()->activated(QSystemTrayIcon::Trigger);
    QVERIFY(window.isVisible());
    QVERIFY(!watch.capture->dropShelf()->isVisible());
    watch.capture->showDropShelf();
    QVERIFY(watch.capture->dropShelf()->isVisible());
    window.hide();
    window.show();
    QVERIFY(!watch.capture->dropShelf()->isVisible());

    writeFile(watch.path("first.png"), pictureBytes(1));
    QTRY_COMPARE(imported(*watch.spy), QStringList{"first.png"});
    // Closed, then switched off before the folder was looked at again.
    writeFile(watch.path("second.png"), pictureBytes(2));
    watch.library.settings->set(QString::fromLatin1(kImportScreenshotsKey), false);
    QVERIFY(!watch.capture->isWatching());
    writeFile(watch.path("third.png"), pictureBytes(3));
    QTest::qWait(400);
    QCOMPARE(imported(*watch.spy), QStringList{"first.png"});
    QTRY_COMPARE(watch.library.store->items().size(), 1);

    // On again: the folder is listed afresh, files added meanwhile stay out.
    watch.library.settings->set(QString::fromLatin1(kImportScreenshotsKey), true);
    QTRY_COMPARE(started.size(), 2);
    writeFile(watch.path("fourth.png"), pictureBytes(4));
    QTRY_COMPARE(imported(*watch.spy), (QStringList{"first.png", "fourth.png"}));
}

void CaptureTest::pendingStartIsAbandoned()
{
    Watch watch;
    QSignalSpy started(watch.capture.get(), &Capture::watchingStarted);
    // Switched off while the folder was still being listed.
    watch.capture->setWatching(true);
    watch.capture->setWatching(false);
    QTest::qWait(300);
    QCOMPARE(started.size(), 0);
    QVERIFY(!watch.capture->isWatching());
    writeFile(watch.path("shot.png"), pictureBytes(1));
    QTest::qWait(300);
    QCOMPARE(watch.spy->size(), 0);

    // Two starts in a row: one watch.
    watch.capture->setWatching(true);
    watch.capture->setWatching(true);
    QTRY_COMPARE(started.size(), 1);
    QTest::qWait(200);
    QCOMPARE(started.size(), 1);
    writeFile(watch.path("next.png"), pictureBytes(2));
    QTRY_COMPARE(imported(*watch.spy), QStringList{"next.png"});
}

QTEST_MAIN(CaptureTest)
#include "tst_capture.moc"
