#include "AddToLibraryMode.h"

#include "HeadlessRunner.h"
#include "ServiceProvider.h"
#include "SharedStoreExit.h"

#include "enrichment/LinkPipeline.h"
#include "integration/DBusNames.h"
#include "library/LibraryStore.h"
#include "library/LibraryStoreMedia.h"
#include "library/LinkParser.h"
#include "platform/Console.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QFileInfo>

#include <cstdio>
#include <memory>

namespace vellora {

namespace {

// Why the command could not do its work: standard error, not the mode's output.
void printError(const QString &line)
{
    std::fputs(qPrintable(line + QLatin1Char('\n')), stderr);
    std::fflush(stderr);
}

// Adds and enriches links[index...] one after the other, then `done`.
void addLinksFrom(LibraryStore &store, std::shared_ptr<const QStringList> links, qsizetype index,
                  std::function<void()> done)
{
    if (index >= links->size()) {
        done();
        return;
    }
    const QString id = addLink(store, links->at(index), store.defaultBoardId());
    fetchLinkMetadata(store, id, [&store, links, index, done = std::move(done)]() mutable {
        addLinksFrom(store, links, index + 1, std::move(done));
    });
}

// The same request as the bus method, run here to its end.
bool addHere(const QStringList &uris)
{
    const QList<QUrl> urls = requestedURLs(uris, QString());
    QStringList files;
    QStringList links;
    for (const QUrl &url : urls) {
        if (url.isLocalFile())
            files.append(url.toLocalFile());
        else if (const auto link = normalizedLinkURL(url.toString(QUrl::FullyEncoded)))
            links.append(*link);
    }
    LibraryStore &store = LibraryStore::shared();
    if (!store.waitUntilLoaded()) {
        // The store has said why; nothing goes into a library it could not read.
        return false;
    }
    if (!files.isEmpty())
        importFiles(store, files, store.defaultBoardId());
    CompletionFlag flag = makeCompletionFlag();
    addLinksFrom(store, std::make_shared<const QStringList>(links), 0, [flag] { *flag = true; });
    waitForCompletion(flag);
    return settleSharedStore(store);
}

} // namespace

QStringList addToLibraryURIs(const QStringList &arguments)
{
    QStringList uris;
    for (const QString &argument : arguments) {
        if (argument.isEmpty())
            continue;
        const QFileInfo file(argument);
        if (file.exists()) {
            uris.append(QUrl::fromLocalFile(file.absoluteFilePath()).toString(QUrl::FullyEncoded));
            continue;
        }
        const QUrl url(argument, QUrl::StrictMode);
        if (url.isValid() && !url.isRelative() && argument.contains(QLatin1Char(':'))) {
            uris.append(url.toString(QUrl::FullyEncoded));
            continue;
        }
        if (const auto link = normalizedLinkURL(argument))
            uris.append(*link);
        else
            printError(QStringLiteral("Not a file or a web address: ") + argument);
    }
    return uris;
}

bool sendToRunningInstance(const QStringList &uris, QString *error)
{
    error->clear();
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface())
        return false;
    const QString service = QString::fromLatin1(kApplicationService);
    if (!bus.interface()->isServiceRegistered(service).value())
        return false;
    QDBusMessage call = QDBusMessage::createMethodCall(service, QString::fromLatin1(kApplicationPath),
                                                       QString::fromLatin1(kCaptureInterface),
                                                       QStringLiteral("AddToVellora"));
    call << uris << QString();
    // The program only queues the work, so the answer comes at once.
    const QDBusMessage reply = bus.call(call, QDBus::Block, 25000);
    if (reply.type() == QDBusMessage::ReplyMessage)
        return true;
    // It left the bus between the question and the call: no one is running.
    if (reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown")
        || reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner"))
        return false;
    *error = reply.errorMessage().isEmpty() ? reply.errorName() : reply.errorMessage();
    return false;
}

int runAddToLibrary(const QStringList &arguments)
{
    const QStringList uris = addToLibraryURIs(arguments);
    if (uris.isEmpty()) {
        printError(QStringLiteral("--add-to-library: nothing to add; give picture files or web addresses"));
        return 1;
    }
    QString error;
    if (sendToRunningInstance(uris, &error))
        return 0;
    if (!error.isEmpty()) {
        // Two writers on one library would race; the running one said no.
        printError(QStringLiteral("--add-to-library: the running Vellora refused: ") + error);
        return 1;
    }
    if (!addHere(uris)) {
        printError(QStringLiteral("--add-to-library: the library could not be saved"));
        return 1;
    }
    return 0;
}

} // namespace vellora
