#include "MainWindow.h"

namespace vellora {

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
{
    setWindowTitle(QStringLiteral("Vellora"));
    resize(1200, 800);
    setCentralWidget(new QWidget(this));
}

} // namespace vellora
