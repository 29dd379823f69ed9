#pragma once
// The real main window over a real store on a temporary library: two
// collections, a smart folder and four pictures with their thumbnails.

#include "app/AppState.h"
#include "app/MainWindow.h"
#include "library/LibraryStore.h"
#include "platform/Defaults.h"

#include "ZezevavEri/ScatterGridController.h"

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace vellora::apptest {

inline Item picture(const QString &id, const QString &board, double added, const QString &root)
{
    Item it;
    it.id = id;
    it.kind = QStringLiteral("image");
    it.originalFilename = id + ".png";
    it.storedFilename = id + ".png";
    it.thumbnailFilename = id + ".jpg";
    it.pixelWidth = 400;
    it.pixelHeight = 300;
    it.contentHash = id;
    it.dateAdded = added;
    it.collectionIds = {board};
    QImage thumb(400, 300, QImage::Format_RGB32);
    thumb.fill(QColor::fromHsv(int(added * 37) % 360, 160, 200));
    QDir().mkpath(root + "/thumbnails");
    thumb.save(root + "/thumbnails/" + it.thumbnailFilename, "JPEG", 85);
    return it;
}

// A library with two collections, a smart folder and four pictures, and the
// window over it.
struct WindowFixture {
    QTemporaryDir dir;
    QString settingsFile;
    std::unique_ptr<Defaults> settings;
    std::unique_ptr<LibraryStore> store;
    zezevaveri::ScatterGridController grid;
    std::unique_ptr<AppState> state;
    std::unique_ptr<MainWindow> window;

    explicit WindowFixture(const QString &settingsPath = {})
    {
        settingsFile = settingsPath.isEmpty() ? dir.filePath("settings.conf") : settingsPath;
        settings = std::make_unique<Defaults>(settingsFile);
        store = std::make_unique<LibraryStore>(dir.filePath("library"), false, *settings);
        store->replaceCollections({{"B1", "Inbox", 1.0, {}, {}, {}}, {"B2", "Posters", 2.0, {}, {}, {}}});
        SmartFolder recent{"S1", "Recent", "all", {}};
        store->replaceSmartFolders({recent});
        const QString root = store->root();
        store->appendItems({picture("A", "B1", 1, root), picture("B", "B2", 2, root), picture("C", "B2", 3, root),
                            picture("D", "B1", 4, root)});
        state = std::make_unique<AppState>(*store, *settings, grid);
        state->setHooks(windowHooks(nullptr));
        window = std::make_unique<MainWindow>(*state);
    }

    void show()
    {
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        window->activateWindow();
        QApplication::setActiveWindow(window.get());
    }
};

} // namespace vellora::apptest
