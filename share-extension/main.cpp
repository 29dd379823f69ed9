// vellora-share [--quiet] [FILE | URL | TEXT]...
//
// Shares pictures and links with Vellora through its drops folder; with no
// arguments, standard input is read as text. Shows "Added to Vellora" or
// "Couldn't add to Vellora" for 0.8 s, or prints it without a display (and
// with --quiet); exits 0 when something was added, else 1.
//
// No widgets are loaded and no display is opened here, so that a share
// from a script or a key binding is quick; the window is
// vellora-share-status, started once the drops are written.

#include "ShareDrops.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>

#include <cstdio>

namespace {
bool hasDisplay(const QStringList &arguments)
{
    if (arguments.contains(QStringLiteral("--quiet")))
        return false;
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
    return QString::fromUtf8(in.read(vshare::kMaxTextBytes));
}

// Shows the status window and waits for it; false when it could not be
// shown (no such program, or a display it cannot open).
bool showStatus(const QString &line, int status)
{
    const QString program = QCoreApplication::applicationDirPath() + QStringLiteral("/vellora-share-status");
    const int shown = QProcess::execute(program, {line, QString::number(status)});
    if (shown == status)
        return true;
    qCWarning(vshare::lcShare).noquote() << "vellora-share: no status window:" << program;
    return false;
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vellora-share"));
    const QStringList arguments = QCoreApplication::arguments().mid(1);

    std::vector<vshare::ShareInput> inputs = vshare::inputsFromArguments(arguments);
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

    if (hasDisplay(arguments) && showStatus(line, status))
        return status;
    std::fputs(qPrintable(line + QLatin1Char('\n')), stdout);
    return status;
}
