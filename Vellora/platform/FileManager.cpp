#include "FileManager.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QFileInfo>
#include <QStringList>

namespace vellora::FileManager {

namespace {
OpenFolder &openFolder()
{
    static OpenFolder open = [](const QUrl &folder) { QDesktopServices::openUrl(folder); };
    return open;
}

void fallBack(const QList<QUrl> &files, const std::function<void(bool)> &done)
{
    if (!files.isEmpty())
        openFolder()(QUrl::fromLocalFile(QFileInfo(files.first().toLocalFile()).absolutePath()));
    if (done)
        done(false);
}
} // namespace

void setOpenFolder(OpenFolder open)
{
    openFolder() = open ? std::move(open) : OpenFolder([](const QUrl &folder) { QDesktopServices::openUrl(folder); });
}

OpenFolder currentOpenFolder() { return openFolder(); }

void showItems(const QList<QUrl> &urls, std::function<void(bool)> done)
{
    QList<QUrl> files;
    QStringList uris;
    for (const QUrl &url : urls) {
        if (url.isLocalFile()) {
            files.append(url);
            uris.append(url.toString(QUrl::FullyEncoded));
        }
    }
    if (files.isEmpty()) {
        if (done)
            done(false);
        return;
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        fallBack(files, done);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.FileManager1"),
                                                      QStringLiteral("/org/freedesktop/FileManager1"),
                                                      QStringLiteral("org.freedesktop.FileManager1"),
                                                      QStringLiteral("ShowItems"));
    call << uris << QString();
    // Activation of a file manager that is not running yet may take a while;
    // the user waits for a window anyway, the main thread never does.
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 10000));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher, [watcher, files, done] {
        watcher->deleteLater();
        if (watcher->isError()) {
            fallBack(files, done);
            return;
        }
        if (done)
            done(true);
    });
}

} // namespace vellora::FileManager
