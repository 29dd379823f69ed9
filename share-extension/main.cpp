// vellora-share [--quiet] [FILE | URL | TEXT]...
//
// Shares pictures and links with Vellora through its drops folder; with no
// arguments, standard input is read as text. Shows "Added to Vellora" or
// "Couldn't add to Vellora" for 0.8 s, or prints it without a display (and
// with --quiet); exits 0 when something was added, else 1.

#include "ShareDrops.h"
#include "StatusView.h"

#include <QApplication>
#include <QCoreApplication>
#include <QFile>
#include <QTimer>

#include <cstdio>
#include <memory>

namespace {
bool hasDisplay(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], "--quiet") == 0)
            return false;
    }
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (platform.startsWith("offscreen") || platform.startsWith("minimal"))
        return false;
    return !qgetenv("DISPLAY").isEmpty() || !qgetenv("WAYLAND_DISPLAY").isEmpty();
}

QString readStandardInput()
{
    QFile in;
    if (!in.open(stdin, QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = in.read(vshare::kMaxTextBytes);
    return QString::fromUtf8(bytes);
}
} // namespace

int main(int argc, char **argv)
{
    const bool window = hasDisplay(argc, argv);
    std::unique_ptr<QCoreApplication> app;
    if (window)
        app = std::make_unique<QApplication>(argc, argv);
    else
        app = std::make_unique<QCoreApplication>(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vellora-share"));

    std::vector<vshare::ShareInput> inputs = vshare::inputsFromArguments(QCoreApplication::arguments().mid(1));
    if (inputs.empty()) {
        const QString text = readStandardInput();
        if (!text.isEmpty())
            inputs.push_back({vshare::ShareInput::Text, text});
    }
    const QString folder = vshare::dropsFolder(vshare::Places::fromEnvironment());
    const vshare::ShareResult result = vshare::share(inputs, folder);
    for (const QString &problem : result.problems)
        qCWarning(vshare::lcShare).noquote() << "vellora-share:" << problem;
    if (inputs.empty())
        qCWarning(vshare::lcShare).noquote() << "vellora-share: nothing to share";
    const QString line = vshare::statusLine(result);
    const int status = result.written > 0 ? 0 : 1;

    if (!window) {
        std::fputs(qPrintable(line + QLatin1Char('\n')), stdout);
        return status;
    }
    vshare::StatusView view(line, status == 0);
    view.show();
    QTimer::singleShot(vshare::StatusView::kShownMs, app.get(), &QCoreApplication::quit);
    app->exec();
    std::fputs(qPrintable(line + QLatin1Char('\n')), stdout);
    return status;
}
