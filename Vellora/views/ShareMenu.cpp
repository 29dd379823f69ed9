#include "ShareMenu.h"

#include "Background.h"

#include "library/LibraryStore.h"
#include "library/Media.h"
#include "library/SafeNames.h"
#include "platform/FileManager.h"

#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QMenu>
#include <QMimeData>

namespace vellora {

namespace {
std::optional<QUrl> linkAddress(const Item &item)
{
    if (!item.sourceURL)
        return std::nullopt;
    const QUrl url(*item.sourceURL, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty())
        return std::nullopt;
    return url;
}
} // namespace

bool hasExport(const Item &item)
{
    if (item.kind == QLatin1String("link"))
        return bool(linkAddress(item));
    return isSafePathComponent(item.id) && isSafePathComponent(item.storedFilename) &&
           isSafePathComponent(item.originalFilename);
}

void exportURLsInBackground(const QString &root, const QList<Item> &items, QObject *context,
                            std::function<void(QList<QUrl>)> done)
{
    views::inBackground<QList<QUrl>>(
        context,
        [root, items] {
            QList<QUrl> urls;
            for (const Item &item : items) {
                if (item.kind == QLatin1String("link")) {
                    if (const auto url = linkAddress(item))
                        urls.append(*url);
                } else if (const auto file = exportFile(root, item)) {
                    urls.append(QUrl::fromLocalFile(*file));
                }
            }
            return urls;
        },
        std::move(done));
}

void copyURLsToClipboard(const QList<QUrl> &urls)
{
    auto *mime = new QMimeData;
    mime->setUrls(urls);
    QStringList lines;
    for (const QUrl &url : urls)
        lines.append(url.isLocalFile() ? url.toLocalFile() : url.toString());
    mime->setText(lines.join(QLatin1Char('\n')));
    QApplication::clipboard()->setMimeData(mime);
}

QMenu *makeShareMenu(const LibraryStore &store, const QList<Item> &items, QWidget *parent)
{
    QList<Item> shared;
    bool anyFile = false;
    for (const Item &item : items) {
        if (!hasExport(item))
            continue;
        shared.append(item);
        anyFile = anyFile || item.kind != QLatin1String("link");
    }
    if (shared.isEmpty())
        return nullptr;
    auto *menu = new QMenu(QCoreApplication::translate("vellora::ShareMenu", "Share"), parent);
    const QString root = store.root();
    // The actions outlive the tile menu's exec() only as long as the menu;
    // the results are applied with the application as context.
    QObject *context = QCoreApplication::instance();
    menu->addAction(QCoreApplication::translate("vellora::ShareMenu", "Copy"), menu, [root, shared, context] {
        exportURLsInBackground(root, shared, context, [](QList<QUrl> urls) { copyURLsToClipboard(urls); });
    });
    menu->addAction(QCoreApplication::translate("vellora::ShareMenu", "Open With…"), menu, [root, shared, context] {
        exportURLsInBackground(root, shared, context, [](QList<QUrl> urls) {
            for (const QUrl &url : urls)
                QDesktopServices::openUrl(url);
        });
    });
    if (anyFile) {
        // The library's own original, not the private copy: that is the file
        // the user looks for.
        menu->addAction(QCoreApplication::translate("vellora::ShareMenu", "Show in File Manager"), menu, [root, shared] {
            QList<QUrl> files;
            for (const Item &item : shared) {
                const QString path = item.kind == QLatin1String("link") ? QString() : originalPath(root, item.storedFilename);
                if (!path.isEmpty())
                    files.append(QUrl::fromLocalFile(path));
            }
            FileManager::showItems(files);
        });
    }
    return menu;
}

} // namespace vellora
