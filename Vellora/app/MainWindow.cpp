#include "MainWindow.h"

#include "library/LibraryStore.h"
#include "library/SafeNames.h"
#include "platform/ImageIO.h"

#include "ZezevavEri/ScatterGridController.h"
#include "ZezevavEri/ScatterGridView.h"

#include <QHash>
#include <QMutex>

namespace vellora {

// Item id -> thumbnail file, read by the grid's decode threads while the
// window replaces it on the main thread.
class ThumbnailIndex {
public:
    void replace(QHash<QString, QString> paths)
    {
        QMutexLocker locker(&m_lock);
        m_paths = std::move(paths);
    }
    QString path(const QString &id) const
    {
        QMutexLocker locker(&m_lock);
        return m_paths.value(id);
    }

private:
    mutable QMutex m_lock;
    QHash<QString, QString> m_paths;
};

zezevaveri::ScatterItem scatterItemFor(const Item &item)
{
    zezevaveri::ScatterItem tile;
    tile.id = item.id;
    tile.aspect = item.pixelWidth > 0 && item.pixelHeight > 0 ? double(item.pixelWidth) / double(item.pixelHeight) : 1.0;
    tile.title = item.title && !item.title->isEmpty() ? *item.title : item.originalFilename;
    tile.subtitle = item.host();
    tile.external = item.kind == QLatin1String("link");
    return tile;
}

MainWindow::MainWindow(LibraryStore &store, zezevaveri::ScatterGridController &controller, QWidget *parent)
    : QMainWindow(parent)
    , m_store(store)
    , m_grid(new zezevaveri::ScatterGridView(this))
    , m_thumbnails(std::make_shared<ThumbnailIndex>())
{
    setWindowTitle(QStringLiteral("Vellora"));
    resize(1200, 800);
    setCentralWidget(m_grid);

    std::weak_ptr<ThumbnailIndex> thumbnails = m_thumbnails;
    m_grid->setContent([thumbnails](const QString &id, double pixels, bool) -> QImage {
        const auto index = thumbnails.lock();
        if (!index)
            return {};
        const QString path = index->path(id);
        return path.isEmpty() ? QImage() : downsampledImage(path, pixels);
    });
    controller.attach(m_grid);

    connect(&m_store, &LibraryStore::itemsChanged, this, &MainWindow::showItems);
    connect(&m_store, &LibraryStore::loadedChanged, this, &MainWindow::showItems);
    showItems();
}

MainWindow::~MainWindow() = default;

void MainWindow::showItems()
{
    QHash<QString, QString> paths;
    QList<zezevaveri::ScatterItem> tiles;
    for (const Item &item : m_store.activeItems()) {
        tiles.append(scatterItemFor(item));
        if (const auto path = libraryFilePath(m_store.root(), QStringLiteral("thumbnails"), item.thumbnailFilename))
            paths.insert(item.id, *path);
    }
    m_thumbnails->replace(std::move(paths));
    m_grid->setItems(tiles);
}

} // namespace vellora
