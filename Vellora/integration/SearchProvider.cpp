#include "SearchProvider.h"

#include "DBusNames.h"
#include "SystemSearchIndex.h"

#include "library/SafeNames.h"

#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QFileInfo>
#include <QProcess>
#include <QTimer>
#include <QUrl>

#include <cstdio>

namespace vellora {

QDBusArgument &operator<<(QDBusArgument &argument, const KRunnerMatch &match)
{
    argument.beginStructure();
    argument << match.id << match.text << match.iconName << match.type << match.relevance << match.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, KRunnerMatch &match)
{
    argument.beginStructure();
    argument >> match.id >> match.text >> match.iconName >> match.type >> match.relevance >> match.properties;
    argument.endStructure();
    return argument;
}

QDBusArgument &operator<<(QDBusArgument &argument, const KRunnerAction &action)
{
    argument.beginStructure();
    argument << action.id << action.text << action.iconName;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, KRunnerAction &action)
{
    argument.beginStructure();
    argument >> action.id >> action.text >> action.iconName;
    argument.endStructure();
    return argument;
}

namespace {

// KRunner's "possible match": a result among others, not an exact answer.
constexpr int kPossibleMatch = 30;
// Fewer characters than this match most of the library and help nobody.
constexpr int kMinimumQueryLength = 2;

int letterCount(const QStringList &terms)
{
    int count = 0;
    for (const QString &term : terms)
        for (const QChar c : term)
            count += c.isLetterOrNumber() ? 1 : 0;
    return count;
}

QString iconFor(const SearchHit &hit)
{
    if (!hit.thumbnail.isEmpty() && QFileInfo(hit.thumbnail).isFile())
        return hit.thumbnail;
    return hit.kind == QLatin1String("link") ? QStringLiteral("text-html") : QStringLiteral("image-x-generic");
}

class GnomeSearchAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.gnome.Shell.SearchProvider2")
public:
    GnomeSearchAdaptor(QObject *host, SearchProvider *provider) : QDBusAbstractAdaptor(host), m_provider(provider) {}

public slots:
    QStringList GetInitialResultSet(const QStringList &terms) { return m_provider->search(terms); }
    QStringList GetSubsearchResultSet(const QStringList &previous, const QStringList &terms)
    {
        Q_UNUSED(previous);
        return m_provider->search(terms);
    }
    QList<QVariantMap> GetResultMetas(const QStringList &ids) { return m_provider->resultMetas(ids); }
    void ActivateResult(const QString &id, const QStringList &terms, uint timestamp)
    {
        Q_UNUSED(terms);
        Q_UNUSED(timestamp);
        m_provider->activate(id);
    }
    void LaunchSearch(const QStringList &terms, uint timestamp)
    {
        Q_UNUSED(timestamp);
        m_provider->launchSearch(terms);
    }

private:
    SearchProvider *m_provider;
};

class KRunnerAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.krunner1")
public:
    KRunnerAdaptor(QObject *host, SearchProvider *provider) : QDBusAbstractAdaptor(host), m_provider(provider) {}

public slots:
    QList<vellora::KRunnerAction> Actions() { return {}; }
    QList<vellora::KRunnerMatch> Match(const QString &query) { return m_provider->match(query); }
    void Run(const QString &matchId, const QString &actionId)
    {
        Q_UNUSED(actionId);
        m_provider->activate(matchId);
    }
    void Teardown() {}

private:
    SearchProvider *m_provider;
};

void registerTypes()
{
    static const bool done = [] {
        qDBusRegisterMetaType<KRunnerMatch>();
        qDBusRegisterMetaType<KRunnerMatches>();
        qDBusRegisterMetaType<KRunnerAction>();
        qDBusRegisterMetaType<KRunnerActions>();
        qDBusRegisterMetaType<ResultMetas>();
        return true;
    }();
    Q_UNUSED(done);
}

} // namespace

SearchProvider::SearchProvider(const QString &indexPath, QObject *parent)
    : QObject(parent), m_index(indexPath, SearchIndex::Access::ReadOnly),
      m_program(QCoreApplication::applicationFilePath())
{
    registerTypes();
    m_opener = [this](const QString &url) { open(url); };
    // The bus calls the adaptors' slots on this object.
    new GnomeSearchAdaptor(this, this);
    new KRunnerAdaptor(this, this);
}

SearchProvider::~SearchProvider() = default;

bool SearchProvider::registerOn(QDBusConnection bus, QString *error)
{
    if (!bus.isConnected()) {
        *error = QStringLiteral("no session bus");
        return false;
    }
    if (!bus.registerObject(QString::fromLatin1(kSearchProviderPath), this, QDBusConnection::ExportAdaptors)) {
        *error = bus.lastError().message();
        return false;
    }
    if (!bus.registerService(QString::fromLatin1(kSearchProviderService))) {
        *error = QStringLiteral("%1 is taken").arg(QLatin1String(kSearchProviderService));
        bus.unregisterObject(QString::fromLatin1(kSearchProviderPath));
        return false;
    }
    return true;
}

void SearchProvider::setOpener(Opener opener)
{
    m_opener = std::move(opener);
}

void SearchProvider::setProgram(const QString &program)
{
    m_program = program;
}

bool SearchProvider::ensureOpen()
{
    // The window may have built the file again since the last question.
    if (m_index.isOpen() && !m_index.fileReplaced())
        return true;
    return m_index.open().ok;
}

QStringList SearchProvider::search(const QStringList &terms)
{
    emit used();
    if (letterCount(terms) < kMinimumQueryLength || !ensureOpen())
        return {};
    QStringList ids;
    for (const SearchHit &hit : m_index.search(terms, kMaxResults))
        ids.append(hit.id);
    return ids;
}

ResultMetas SearchProvider::resultMetas(const QStringList &ids)
{
    emit used();
    if (!ensureOpen())
        return {};
    ResultMetas metas;
    for (const SearchHit &hit : m_index.lookup(ids)) {
        QVariantMap meta;
        meta.insert(QStringLiteral("id"), hit.id);
        meta.insert(QStringLiteral("name"), hit.title);
        meta.insert(QStringLiteral("description"), hit.description);
        // A file path is a valid serialised icon.
        meta.insert(QStringLiteral("gicon"), iconFor(hit));
        metas.append(meta);
    }
    return metas;
}

KRunnerMatches SearchProvider::match(const QString &query)
{
    emit used();
    const QStringList terms = query.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (letterCount(terms) < kMinimumQueryLength || !ensureOpen())
        return {};
    const QList<SearchHit> hits = m_index.search(terms, kMaxResults);
    KRunnerMatches matches;
    for (qsizetype i = 0; i < hits.size(); ++i) {
        const SearchHit &hit = hits.at(i);
        KRunnerMatch m;
        m.id = hit.id;
        m.text = hit.title;
        m.iconName = iconFor(hit);
        m.type = kPossibleMatch;
        // Best first, as the index ranked them.
        m.relevance = 1.0 - double(i) / double(hits.size() + 1);
        m.properties.insert(QStringLiteral("subtext"), hit.description);
        m.properties.insert(QStringLiteral("urls"), QStringList{itemURL(hit.id)});
        matches.append(m);
    }
    return matches;
}

QString SearchProvider::itemURL(const QString &id)
{
    return QStringLiteral("vellora://item/") + QString::fromLatin1(QUrl::toPercentEncoding(id));
}

void SearchProvider::activate(const QString &id)
{
    emit used();
    // The id comes from whoever calls on the bus.
    if (!isSafePathComponent(id))
        return;
    if (m_opener)
        m_opener(itemURL(id));
}

void SearchProvider::launchSearch(const QStringList &terms)
{
    emit used();
    if (!m_opener)
        return;
    const QString words = terms.join(QLatin1Char(' ')).simplified();
    if (words.isEmpty()) {
        m_opener(QString());
        return;
    }
    m_opener(QStringLiteral("vellora://search?q=") + QString::fromLatin1(QUrl::toPercentEncoding(words)));
}

void SearchProvider::open(const QString &url)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        startProgram(url);
        return;
    }
    // The running window takes it; without one the bus answers at once that
    // nobody has the name, and the program is started instead.
    QDBusMessage call = QDBusMessage::createMethodCall(
        QString::fromLatin1(kApplicationService), QString::fromLatin1(kApplicationPath),
        QStringLiteral("org.freedesktop.Application"), url.isEmpty() ? QStringLiteral("Activate")
                                                                      : QStringLiteral("Open"));
    if (url.isEmpty())
        call << QVariantMap();
    else
        call << QStringList{url} << QVariantMap();
    call.setAutoStartService(false);
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, url](QDBusPendingCallWatcher *w) {
        w->deleteLater();
        if (w->isError())
            startProgram(url);
    });
}

void SearchProvider::startProgram(const QString &url)
{
    QStringList arguments;
    if (!url.isEmpty())
        arguments.append(url);
    if (!QProcess::startDetached(m_program, arguments))
        std::fprintf(stderr, "search provider: cannot start %s\n", qPrintable(m_program));
}

int runSearchProvider(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Vellora"));
    SearchProvider provider(SystemSearchIndex::defaultPath());
    QString error;
    if (!provider.registerOn(QDBusConnection::sessionBus(), &error)) {
        std::fprintf(stderr, "search provider: %s\n", qPrintable(error));
        return 1;
    }
    // Started by the bus on demand; gone again once the search is over.
    QTimer idle;
    idle.setSingleShot(true);
    idle.setInterval(60 * 1000);
    QObject::connect(&idle, &QTimer::timeout, &application, &QCoreApplication::quit);
    QObject::connect(&provider, &SearchProvider::used, &idle, qOverload<>(&QTimer::start));
    idle.start();
    // Nobody can ask any more once the session's bus is gone.
    QTimer lost;
    QObject::connect(&lost, &QTimer::timeout, &application, [&application] {
        if (!QDBusConnection::sessionBus().isConnected())
            application.quit();
    });
    lost.start(2000);
    return application.exec();
}

} // namespace vellora

#include "SearchProvider.moc"
