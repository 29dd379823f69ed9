// vellora-cloud: the sharing service that Vellora libraries share collections
// through. It listens on loopback unless told otherwise; TLS belongs to the
// reverse proxy in front of it.
//
//   vellora-cloud [--listen HOST:PORT] [--public-url URL] [--db-host HOST|SOCKET-DIR]
//                 [--db-port PORT] [--db-name NAME] [--db-user USER]
//                 [--max-asset-mb N] [--page-size N]
//   vellora-cloud --add-user NAME      prints the new user's token once

#include "CloudService.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostAddress>
#include <QTcpServer>

#include <cstdio>

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
    const QCommandLineOption maxAsset(QStringLiteral("max-asset-mb"), QStringLiteral("Largest asset in MiB."),
                                      QStringLiteral("n"), QStringLiteral("64"));
    const QCommandLineOption pageSize(QStringLiteral("page-size"), QStringLiteral("Records per page of changes."),
                                      QStringLiteral("n"), QStringLiteral("200"));
    parser.addOptions({listen, publicURL, dbHost, dbPort, dbName, dbUser, addUser, maxAsset, pageSize});
    parser.process(app);

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
    if (parser.isSet(addUser)) {
        const auto token = cloud::addUser(parser.value(addUser), &error);
        if (!token) {
            std::fprintf(stderr, "vellora-cloud: %s\n", qUtf8Printable(error));
            return 1;
        }
        std::printf("%s\n", qUtf8Printable(*token));
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
    cloud::ServiceOptions options;
    options.maxAssetBytes = parser.value(maxAsset).toLongLong() * 1024 * 1024;
    options.pageSize = qMax(1, parser.value(pageSize).toInt());
    cloud::CloudService service(options);
    const quint16 bound = service.listen(address, quint16(port));
    if (bound == 0) {
        std::fprintf(stderr, "vellora-cloud: cannot listen on %s\n", qUtf8Printable(where));
        return 1;
    }
    const QString base = QStringLiteral("http://%1:%2")
                             .arg(address.protocol() == QAbstractSocket::IPv6Protocol ? QLatin1Char('[') + host + QLatin1Char(']') : host)
                             .arg(bound);
    options.publicURL = parser.isSet(publicURL) ? parser.value(publicURL) : base;
    while (options.publicURL.endsWith(QLatin1Char('/')))
        options.publicURL.chop(1);
    service.setPublicURL(options.publicURL);
    std::printf("vellora-cloud: listening on %s\n", qUtf8Printable(base));
    std::fflush(stdout);
    return app.exec();
}
