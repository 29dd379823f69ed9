#include "ServiceProvider.h"

#include "Capture.h"

#include "integration/DBusNames.h"
#include "library/LibraryStore.h"
#include "library/LinkParser.h"
#include "platform/Logging.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QRegularExpression>

namespace vellora {

QStringList serviceLines(const QString &text)
{
    // CR LF first, so it is one break and not two.
    static const QRegularExpression breaks(
        QStringLiteral("\\r\\n|[\\n\\x{000B}\\x{000C}\\r\\x{0085}\\x{2028}\\x{2029}]"));
    return text.split(breaks, Qt::SkipEmptyParts);
}

QList<QUrl> requestedURLs(const QStringList &uris, const QString &text)
{
    QList<QUrl> urls;
    for (const QString &uri : uris) {
        const QUrl url(uri, QUrl::StrictMode);
        if (url.isValid() && !url.isRelative())
            urls.append(url);
    }
    if (!urls.isEmpty())
        return urls;
    const QStringList lines = serviceLines(text);
    for (const QString &line : lines) {
        if (const auto link = normalizedLinkURL(line))
            urls.append(QUrl(*link));
    }
    return urls;
}

void addToVellora(LibraryStore &store, const QStringList &uris, const QString &text)
{
    importIntoDefaultCollection(store, requestedURLs(uris, text));
}

ServiceProvider::ServiceProvider(LibraryStore &store, QObject *parent) : QObject(parent), m_store(store) {}

ServiceProvider &ServiceProvider::shared()
{
    static ServiceProvider *provider = new ServiceProvider(LibraryStore::shared(), qApp);
    return *provider;
}

bool ServiceProvider::exportOnSessionBus()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        qCWarning(lcVellora) << "Add to Vellora: no session bus";
        return false;
    }
    // Its own interface name, so it shares the path with the others there.
    if (!bus.registerObject(QString::fromLatin1(kApplicationPath), QString::fromLatin1(kCaptureInterface), this,
                            QDBusConnection::ExportAllSlots)) {
        qCWarning(lcVellora) << "Add to Vellora: the bus refused the object:" << bus.lastError().message();
        return false;
    }
    return true;
}

void ServiceProvider::AddToVellora(const QStringList &uris, const QString &text)
{
    addToVellora(m_store, uris, text);
}

} // namespace vellora
