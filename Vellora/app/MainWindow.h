#pragma once
// The main window for now: the title and the grid of the library's items.
// The views around the grid join later.

#include <QMainWindow>

namespace vellora {

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(QWidget *parent = nullptr);
};

} // namespace vellora
