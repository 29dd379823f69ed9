#include "AddLinkMode.h"

#include "SharedStoreExit.h"

#include "enrichment/LinkPipeline.h"
#include "library/LibraryStore.h"
#include "library/LinkParser.h"
#include "platform/Console.h"


namespace vellora {

namespace {

QString orDash(const std::optional<QString> &text)
{
    return text && !text->isEmpty() ? *text : QStringLiteral("-");
}

// Adds and enriches urls[index...] one after the other, then `done`.
void addFrom(LibraryStore &store, std::shared_ptr<const QStringList> urls, qsizetype index,
             std::function<void()> done)
{
    if (index >= urls->size()) {
        done();
        return;
    }
    const QString id = addLink(store, urls->at(index), store.defaultBoardId());
    fetchLinkMetadata(store, id, [&store, urls, index, done = std::move(done)]() mutable {
        addFrom(store, urls, index + 1, std::move(done));
    });
}

} // namespace

void cliAddLinkTask(LibraryStore &store, const QStringList &urls, const CompletionFlag &flag,
                    const std::shared_ptr<bool> &ok)
{
    auto list = std::make_shared<const QStringList>(urls);
    store.waitUntilLoaded([&store, list, flag, ok](bool loaded) {
        if (!loaded) {
            // The store has said why; nothing is added to a library it could not read.
            *ok = false;
            *flag = true;
            return;
        }
        addFrom(store, list, 0, [&store, flag, ok] {
            *ok = settleSharedStore(store);
            *flag = true;
        });
    });
}

QStringList addLinkReport(const QString &url, const Item &item)
{
    QStringList lines;
    if (item.insight) {
        try {
            lines.append(QStringLiteral("  insight: ") + QString::fromUtf8(item.insight->compactJSON()));
        } catch (const std::exception &) {
            // An insight that does not encode is left out of the report.
        }
    }
    lines.append(url);
    lines.append(QStringLiteral("  title: ") + orDash(item.title));
    lines.append(QStringLiteral("  site: ") + orDash(item.siteName) + QStringLiteral("  favicon: ")
                 + orDash(item.faviconFilename) + QStringLiteral("  snapshot: ") + QString::number(item.pixelWidth)
                 + QLatin1Char('x') + QString::number(item.pixelHeight));
    lines.append(QStringLiteral("  summary: ") + orDash(item.summary));
    return lines;
}

int runAddLink(const QStringList &arguments)
{
    QStringList urls;
    for (const QString &argument : arguments) {
        if (const auto url = normalizedLinkURL(argument))
            urls.append(*url);
    }
    LibraryStore &store = LibraryStore::shared();
    CompletionFlag flag = makeCompletionFlag();
    auto ok = std::make_shared<bool>(false);
    cliAddLinkTask(store, urls, flag, ok);
    waitForCompletion(flag);

    for (const QString &url : urls) {
        for (const Item &item : store.items()) {
            if (item.sourceURL && *item.sourceURL == url) {
                for (const QString &line : addLinkReport(url, item))
                    printLine(line);
                break;
            }
        }
    }
    return *ok ? 0 : 1;
}

} // namespace vellora
