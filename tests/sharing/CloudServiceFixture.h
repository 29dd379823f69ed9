#pragma once
// A PostgreSQL cluster of the test's own (initdb into a temporary folder,
// a unix socket in that folder, no TCP port) and a vellora-cloud service on
// it, listening on a free loopback port. One per test executable: start it in
// initTestCase(), stop it in cleanupTestCase().
//
// PostgreSQL refuses to run as root; as root the cluster is made and run as
// an unprivileged account ("postgres", else "nobody") through runuser.

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QTemporaryDir>
#include <QUrl>

#include <pwd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <memory>

namespace sharingtest {

inline QString postgresBinary(const QString &name)
{
    QDir versions(QStringLiteral("/usr/lib/postgresql"));
    QStringList found = versions.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    std::sort(found.begin(), found.end(), [](const QString &a, const QString &b) { return a.toInt() > b.toInt(); });
    for (const QString &version : found) {
        const QString path = versions.filePath(version + QStringLiteral("/bin/") + name);
        if (QFileInfo(path).isExecutable())
            return path;
    }
    return name;
}

class PostgresCluster {
public:
    ~PostgresCluster() { stop(); }

    bool start(QString *error)
    {
        // A short path: a unix socket's name must fit in 107 bytes.
        char pattern[] = "/tmp/vellora-pg-XXXXXX";
        if (!mkdtemp(pattern)) {
            *error = QStringLiteral("no temporary folder");
            return false;
        }
        m_folder = QString::fromLocal8Bit(pattern);
        if (geteuid() == 0) {
            for (const char *name : {"postgres", "nobody"}) {
                if (const passwd *account = getpwnam(name)) {
                    m_runAs = QString::fromLatin1(name);
                    if (chown(pattern, account->pw_uid, account->pw_gid) != 0) {
                        *error = QStringLiteral("cannot hand the folder to ") + m_runAs;
                        return false;
                    }
                    break;
                }
            }
            if (m_runAs.isEmpty()) {
                *error = QStringLiteral("no unprivileged account to run PostgreSQL as");
                return false;
            }
        }
        if (!run(postgresBinary(QStringLiteral("initdb")),
                 {QStringLiteral("-D"), dataFolder(), QStringLiteral("-U"), user(), QStringLiteral("--auth=trust"),
                  QStringLiteral("-N"), QStringLiteral("-E"), QStringLiteral("UTF8"), QStringLiteral("--locale=C")},
                 error))
            return false;
        if (!control(QStringLiteral("start"), error))
            return false;
        m_running = true;
        return true;
    }

    // Stops the database server (every connection to it goes) and starts it again.
    bool restart(QString *error) { return control(QStringLiteral("restart"), error); }

    // The first column of the first row of `sql`, through psql.
    QString query(const QString &database, const QString &sql, QString *error)
    {
        QString out;
        if (!run(postgresBinary(QStringLiteral("psql")),
                 {QStringLiteral("-h"), m_folder, QStringLiteral("-p"), QString::number(port()), QStringLiteral("-U"),
                  user(), QStringLiteral("-d"), database, QStringLiteral("-tAc"), sql},
                 error, &out))
            return {};
        return out.trimmed();
    }

    void stop()
    {
        if (m_running) {
            QString ignored;
            run(postgresBinary(QStringLiteral("pg_ctl")),
                {QStringLiteral("-D"), dataFolder(), QStringLiteral("-m"), QStringLiteral("immediate"),
                 QStringLiteral("-w"), QStringLiteral("stop")},
                &ignored);
            m_running = false;
        }
        if (!m_folder.isEmpty()) {
            QDir(m_folder).removeRecursively();
            m_folder.clear();
        }
    }

    bool createDatabase(const QString &name, QString *error)
    {
        return run(postgresBinary(QStringLiteral("createdb")),
                   {QStringLiteral("-h"), m_folder, QStringLiteral("-p"), QString::number(port()), QStringLiteral("-U"),
                    user(), name},
                   error);
    }

    QString socketFolder() const { return m_folder; }
    int port() const { return 5432; }
    QString user() const { return QStringLiteral("vellora"); }

    // An interactive psql on `database`, reading statements from its standard input.
    std::unique_ptr<QProcess> session(const QString &database) const
    {
        auto process = std::make_unique<QProcess>();
        process->setProcessChannelMode(QProcess::MergedChannels);
        const QStringList arguments{QStringLiteral("-h"), m_folder, QStringLiteral("-p"), QString::number(port()),
                                    QStringLiteral("-U"), user(), QStringLiteral("-d"), database,
                                    QStringLiteral("-tA"), QStringLiteral("-q")};
        if (m_runAs.isEmpty())
            process->start(postgresBinary(QStringLiteral("psql")), arguments);
        else
            process->start(QStringLiteral("runuser"), QStringList{QStringLiteral("-u"), m_runAs, QStringLiteral("--"),
                                                                  postgresBinary(QStringLiteral("psql"))} + arguments);
        process->waitForStarted(10000);
        return process;
    }

private:
    QString dataFolder() const { return m_folder + QStringLiteral("/data"); }

    bool control(const QString &action, QString *error)
    {
        const QString options = QStringLiteral("-k %1 -c listen_addresses='' -p %2 -c fsync=off "
                                               "-c synchronous_commit=off -c full_page_writes=off -c max_connections=60")
                                    .arg(m_folder)
                                    .arg(port());
        return run(postgresBinary(QStringLiteral("pg_ctl")),
                   {QStringLiteral("-D"), dataFolder(), QStringLiteral("-l"), m_folder + QStringLiteral("/server.log"),
                    QStringLiteral("-w"), QStringLiteral("-t"), QStringLiteral("120"), QStringLiteral("-m"),
                    QStringLiteral("fast"), QStringLiteral("-o"), options, action},
                   error);
    }

    bool run(const QString &program, const QStringList &arguments, QString *error, QString *output = nullptr)
    {
        QProcess process;
        // The tools may run as another user, who cannot always enter the
        // test's own folder; their complaints about it belong to stderr,
        // never to the value a query returns.
        process.setWorkingDirectory(QStringLiteral("/"));
        if (m_runAs.isEmpty()) {
            process.start(program, arguments);
        } else {
            process.start(QStringLiteral("runuser"),
                          QStringList{QStringLiteral("-u"), m_runAs, QStringLiteral("--"), program} + arguments);
        }
        if (!process.waitForFinished(180000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
            *error = QFileInfo(program).fileName() + QStringLiteral(": ") +
                     QString::fromLocal8Bit(process.readAllStandardError() + process.readAllStandardOutput());
            return false;
        }
        if (output)
            *output = QString::fromLocal8Bit(process.readAllStandardOutput());
        return true;
    }

    QString m_folder;
    QString m_runAs;
    bool m_running = false;
};

// vellora-cloud on a database of the cluster.
class CloudServiceProcess {
public:
    ~CloudServiceProcess() { stop(); }

    // `descriptorLimit`: when set, the service may hold no more open files than this.
    bool start(const PostgresCluster &cluster, const QString &database, QString *error,
               const QStringList &extra = {}, int descriptorLimit = 0)
    {
        m_arguments = {QStringLiteral("--db-host"), cluster.socketFolder(), QStringLiteral("--db-port"),
                       QString::number(cluster.port()), QStringLiteral("--db-user"), cluster.user(),
                       QStringLiteral("--db-name"), database};
        m_process = std::make_unique<QProcess>();
        m_process->setProcessChannelMode(QProcess::SeparateChannels);
        if (descriptorLimit > 0) {
            m_process->setChildProcessModifier([descriptorLimit] {
                const rlimit limit{rlim_t(descriptorLimit), rlim_t(descriptorLimit)};
                setrlimit(RLIMIT_NOFILE, &limit);
            });
        }
        m_process->start(QStringLiteral(VELLORA_CLOUD_BINARY),
                         m_arguments + QStringList{QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0")} + extra);
        QByteArray out;
        const auto deadline = QDeadlineTimer(60000);
        static const QRegularExpression listening(QStringLiteral("listening on (\\S+)"));
        while (!deadline.hasExpired()) {
            if (!m_process->waitForReadyRead(500) && m_process->state() != QProcess::Running)
                break;
            out += m_process->readAllStandardOutput();
            const auto match = listening.match(QString::fromUtf8(out));
            if (match.hasMatch()) {
                m_url = QUrl(match.captured(1));
                return true;
            }
        }
        *error = QStringLiteral("vellora-cloud did not start: ") + QString::fromLocal8Bit(out)
                 + QString::fromLocal8Bit(m_process->readAllStandardError());
        return false;
    }

    // A new user's token, or empty.
    QString addUser(const QString &name) const
    {
        QProcess process;
        process.start(QStringLiteral(VELLORA_CLOUD_BINARY), m_arguments + QStringList{QStringLiteral("--add-user"), name});
        if (!process.waitForFinished(60000) || process.exitCode() != 0)
            return {};
        return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
    }

    // vellora-cloud run once on the same database with `arguments`; its
    // standard output, and its exit code in `exitCode`.
    QString command(const QStringList &arguments, int *exitCode) const
    {
        QProcess process;
        process.start(QStringLiteral(VELLORA_CLOUD_BINARY), m_arguments + arguments);
        const bool finished = process.waitForFinished(60000);
        *exitCode = finished && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
    }

    // What the running service wrote on its standard error so far.
    QByteArray errors() const { return m_process ? m_process->readAllStandardError() : QByteArray(); }

    void stop()
    {
        if (m_process && m_process->state() != QProcess::NotRunning) {
            m_process->terminate();
            if (!m_process->waitForFinished(5000))
                m_process->kill();
            m_process->waitForFinished(5000);
        }
        m_process.reset();
    }

    QUrl url() const { return m_url; }
    QStringList databaseArguments() const { return m_arguments; }

private:
    std::unique_ptr<QProcess> m_process;
    QStringList m_arguments;
    QUrl m_url;
};

// Both, started together.
struct CloudFixture {
    PostgresCluster cluster;
    CloudServiceProcess service;

    // `extra`: further options of vellora-cloud.
    bool start(QString *error, const QStringList &extra = {})
    {
        return cluster.start(error) && cluster.createDatabase(QStringLiteral("vellora"), error)
            && service.start(cluster, QStringLiteral("vellora"), error, extra);
    }
    void stop()
    {
        service.stop();
        cluster.stop();
    }
};

} // namespace sharingtest
