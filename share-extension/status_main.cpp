// vellora-share-status LINE CODE: the share program's status window. Shows
// LINE for 0.8 s and exits with CODE (0 or 1). Started by vellora-share.

#include "StatusView.h"

#include <QApplication>
#include <QTimer>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() < 3)
        return 1;
    const int status = arguments.at(2) == QLatin1String("0") ? 0 : 1;
    vshare::StatusView view(arguments.at(1), status == 0);
    view.show();
    QTimer::singleShot(vshare::StatusView::kShownMs, &app, &QCoreApplication::quit);
    app.exec();
    return status;
}
