#pragma once
// The main window for now: the title and the grid of the library's items.
// The views around the grid join later.

#include <QMainWindow>

#include <memory>

namespace zezevaveri {
class ScatterGridController;
class ScatterGridView;
struct ScatterItem;
} // namespace zezevaveri

namespace vellora {

class LibraryStore;
struct Item;
class ThumbnailIndex;

// What the grid shows for one item: its thumbnail's aspect, its title (or
// file name) and its site; a link opens elsewhere.
zezevaveri::ScatterItem scatterItemFor(const Item &item);

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    MainWindow(LibraryStore &store, zezevaveri::ScatterGridController &controller, QWidget *parent = nullptr);
    ~MainWindow() override;

    zezevaveri::ScatterGridView *grid() const { return m_grid; }

private:
    void showItems();

    LibraryStore &m_store;
    zezevaveri::ScatterGridView *m_grid;
    std::shared_ptr<ThumbnailIndex> m_thumbnails;
};

} // namespace vellora
