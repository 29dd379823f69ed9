// vellora-cloud: the sharing service that Vellora libraries share collections
// through. It listens on loopback unless told otherwise; TLS belongs to the
// reverse proxy in front of it.
//
//   vellora-cloud [--listen HOST:PORT] [--public-url URL] [--db-host HOST|SOCKET-DIR]
//                 [--db-port PORT] [--db-name NAME] [--db-user USER]
//                 [--max-asset-mb N] [--max-user-mb N] [--max-request-mb N] [--page-size N]
//                 [--idle-timeout S] [--max-per-address N] [--max-connections N]
//                 [--threads N] [--workers N]
//   vellora-cloud --add-user NAME        prints the new user's token once
//   vellora-cloud --replace-token NAME   prints the user's new token; the old one stops working
//   vellora-cloud --remove-user NAME     removes the user, their zones and their files

#include "CloudService.h"
#include "HttpFrontEnd.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostAddress>

#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace {

int positive(const QCommandLineParser &parser, const QCommandLineOption &option, bool allowZero, bool *ok)
{
    bool parsed = false;
    const qint64 value = parser.value(option).toLongLong(&parsed);
    if (!parsed || value < (allowZero ? 0 : 1) || value > 1000000) {
        std::fprintf(stderr, "vellora-cloud: --%s wants a %s number, got %s\n", qUtf8Printable(option.names().first()),
                     allowZero ? "non-negative" : "positive", qUtf8Printable(parser.value(option)));
        *ok = false;
        return 0;
    }
    return int(value);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vellora-cloud"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Sharing service for Vellora collections"));
    parser.addHelpOption();
    const QCommandLineOption listen(QStringLiteral("listen"), QStringLiteral("Address and port (port 0: any free one)."),
                                    QStringLiteral("host:port"), QStringLiteral("127.0.0.1:8470"));
    const QCommandLineOption publicURL(QStringLiteral("public-url"), QStringLiteral("Base of share URLs."),
                                       QStringLiteral("url"));
    const QCommandLineOption dbHost(QStringLiteral("db-host"), QStringLiteral("Database host or socket folder."),
                                    QStringLiteral("host"));
    const QCommandLineOption dbPort(QStringLiteral("db-port"), QStringLiteral("Database port."), QStringLiteral("port"),
                                    QStringLiteral("5432"));
    const QCommandLineOption dbName(QStringLiteral("db-name"), QStringLiteral("Database name."), QStringLiteral("name"),
                                    QStringLiteral("vellora"));
    const QCommandLineOption dbUser(QStringLiteral("db-user"), QStringLiteral("Database user."), QStringLiteral("user"));
    const QCommandLineOption addUser(QStringLiteral("add-user"), QStringLiteral("Add a user and print its token."),
                                     QStringLiteral("name"));
    const QCommandLineOption replaceToken(QStringLiteral("replace-token"),
                                          QStringLiteral("Give a user a new token and print it."), QStringLiteral("name"));
    const QCommandLineOption removeUser(QStringLiteral("remove-user"),
                                        QStringLiteral("Remove a user with their zones and files."), QStringLiteral("name"));
    const QCommandLineOption maxAsset(QStringLiteral("max-asset-mb"), QStringLiteral("Largest file in MiB."),
                                      QStringLiteral("n"), QStringLiteral("64"));
    const QCommandLineOption maxUser(QStringLiteral("max-user-mb"), QStringLiteral("Files one user may keep, in MiB."),
                                     QStringLiteral("n"), QStringLiteral("1024"));
    const QCommandLineOption maxRequest(QStringLiteral("max-request-mb"),
                                        QStringLiteral("Largest body of any other call, in MiB."), QStringLiteral("n"),
                                        QStringLiteral("16"));
    const QCommandLineOption pageSize(QStringLiteral("page-size"), QStringLiteral("Records per page of changes."),
                                      QStringLiteral("n"), QStringLiteral("200"));
    const QCommandLineOption idleTimeout(QStringLiteral("idle-timeout"),
                                         QStringLiteral("Seconds an idle connection is kept open."), QStringLiteral("s"),
                                         QStringLiteral("30"));
    const QCommandLineOption perAddress(QStringLiteral("max-per-address"),
                                        QStringLiteral("Connections from one address (0: no cap)."), QStringLiteral("n"),
                                        QStringLiteral("64"));
    const QCommandLineOption maxConnections(QStringLiteral("max-connections"),
                                            QStringLiteral("Connections in all (0: as the descriptor limit allows)."),
                                            QStringLiteral("n"), QStringLiteral("0"));
    const QCommandLineOption threads(QStringLiteral("threads"), QStringLiteral("Threads watching the connections."),
                                     QStringLiteral("n"), QStringLiteral("4"));
    const QCommandLineOption workers(QStringLiteral("workers"),
                                     QStringLiteral("Requests served at once (each with a database connection)."),
                                     QStringLiteral("n"), QStringLiteral("4"));
    parser.addOptions({listen, publicURL, dbHost, dbPort, dbName, dbUser, addUser, replaceToken, removeUser, maxAsset,
                       maxUser, maxRequest, pageSize, idleTimeout, perAddress, maxConnections, threads, workers});
    parser.process(app);

    bool ok = true;
    cloud::ServiceOptions options;
    options.maxAssetBytes = qint64(positive(parser, maxAsset, false, &ok)) * 1024 * 1024;
    options.maxUserBytes = qint64(positive(parser, maxUser, false, &ok)) * 1024 * 1024;
    options.maxRequestBytes = qint64(positive(parser, maxRequest, false, &ok)) * 1024 * 1024;
    options.pageSize = positive(parser, pageSize, false, &ok);
    cloud::FrontEndOptions front;
    front.idleTimeoutSeconds = unsigned(positive(parser, idleTimeout, false, &ok));
    front.connectionsPerAddress = unsigned(positive(parser, perAddress, true, &ok));
    front.maxConnections = unsigned(positive(parser, maxConnections, true, &ok));
    front.ioThreads = positive(parser, threads, false, &ok);
    front.workers = positive(parser, workers, false, &ok);
    if (!ok)
        return 1;

    cloud::DatabaseOptions database;
    database.host = parser.value(dbHost);
    database.port = parser.value(dbPort).toInt();
    database.name = parser.value(dbName);
    database.user = parser.value(dbUser);
    database.password = qEnvironmentVariable("VELLORA_CLOUD_DB_PASSWORD");
    QString error;
    if (!cloud::openDatabase(database, &error)) {
        std::fprintf(stderr, "vellora-cloud: database: %s\n", qUtf8Printable(error));
        return 1;
    }
    if (parser.isSet(addUser) || parser.isSet(replaceToken)) {
        const auto token = parser.isSet(addUser) ? cloud::addUser(parser.value(addUser), &error)
                                                 : cloud::replaceToken(parser.value(replaceToken), &error);
        if (!token) {
            std::fprintf(stderr, "vellora-cloud: %s\n", qUtf8Printable(error));
            return 1;
        }
        std::printf("%s\n", qUtf8Printable(*token));
        return 0;
    }
    if (parser.isSet(removeUser)) {
        if (!cloud::removeUser(parser.value(removeUser), &error)) {
            std::fprintf(stderr, "vellora-cloud: %s\n", qUtf8Printable(error));
            return 1;
        }
        return 0;
    }

    const QString where = parser.value(listen);
    const qsizetype colon = where.lastIndexOf(QLatin1Char(':'));
    bool portOk = false;
    const int port = colon > 0 ? where.mid(colon + 1).toInt(&portOk) : 0;
    QString host = colon > 0 ? where.left(colon) : QString();
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    const QHostAddress address(host);
    if (!portOk || address.isNull() || port < 0 || port > 65535) {
        std::fprintf(stderr, "vellora-cloud: --listen wants host:port, got %s\n", qUtf8Printable(where));
        return 1;
    }
    front.address = address;
    front.port = quint16(port);

    // SIGTERM and SIGINT are waited for below, by this thread alone.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    cloud::CloudService service(options);
    cloud::HttpFrontEnd frontEnd(service, front);
    service.setNotifier([&frontEnd](const QSet<qint64> &users) { frontEnd.notify(users); });
    if (!frontEnd.start(&error)) {
        std::fprintf(stderr, "vellora-cloud: %s\n", qUtf8Printable(error));
        return 1;
    }
    const QString base = QStringLiteral("http://%1:%2")
                             .arg(address.protocol() == QAbstractSocket::IPv6Protocol ? QLatin1Char('[') + host + QLatin1Char(']') : host)
                             .arg(frontEnd.port());
    QString publicBase = parser.isSet(publicURL) ? parser.value(publicURL) : base;
    while (publicBase.endsWith(QLatin1Char('/')))
        publicBase.chop(1);
    service.setPublicURL(publicBase);
    std::printf("vellora-cloud: listening on %s\n", qUtf8Printable(base));
    std::fflush(stdout);

    int received = 0;
    sigwait(&stopSignals, &received);
    // Transactions in flight roll back when their connections close.
    std::fflush(stderr);
    std::_Exit(0);
}
