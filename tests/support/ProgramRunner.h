#pragma once
// Runs a built program as a child of the test, the one way every test does
// it: arguments, environment changes, standard input, a working folder and a
// deadline; for the hostile cases also a kill at a moment of the test's
// choosing and a file-size limit standing in for a full disk. The child is
// measured with wait4(), so the peak memory is its own and nobody else's.
// While it runs the test's event loop keeps turning, so servers of the test
// itself answer it.

#include <QByteArray>
#include <QDeadlineTimer>
#include <QFile>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QTemporaryFile>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace programs {

struct Run {
    int status = -1;           // exit status; -1 when it did not exit by itself
    int signal = 0;            // the signal that ended it, if any
    bool timedOut = false;
    bool crashed = false;      // it did not exit by itself (a signal or the deadline)
    QString out;
    QString err;
    long peakKilobytes = 0;    // ru_maxrss of the child alone
    QStringList lines() const { return out.split('\n', Qt::SkipEmptyParts); }
};

struct Options {
    QMap<QString, QString> environment; // added to (or replacing) the test's own
    QStringList unset;                  // taken out of the test's own
    QString workingDirectory;           // empty: the test's own
    QByteArray input;                   // standard input; empty reads as at its end
    int timeoutMs = 60000;
    long fileSizeLimit = 0;             // RLIMIT_FSIZE in bytes; 0 for none
    int killAfterMs = -1;               // SIGKILL after this long; -1 for never

    // Entries "NAME=value" are set, "NAME" alone is taken out.
    Options &change(const QStringList &entries)
    {
        for (const QString &entry : entries) {
            const qsizetype eq = entry.indexOf('=');
            if (eq < 0) {
                environment.remove(entry);
                unset.append(entry);
            } else {
                unset.removeAll(entry.left(eq));
                environment.insert(entry.left(eq), entry.mid(eq + 1));
            }
        }
        return *this;
    }
};

inline Run run(const QString &program, const QStringList &arguments, const Options &options = {})
{
    Run result;
    QTemporaryFile in, out, err;
    if (!in.open() || !out.open() || !err.open())
        return result;
    if (in.write(options.input) != options.input.size() || !in.flush() || !in.seek(0))
        return result;

    // Everything the child needs is made before fork(): after it only
    // async-signal-safe calls are allowed in a threaded parent.
    std::vector<QByteArray> argStore{QFile::encodeName(program)};
    for (const QString &a : arguments)
        argStore.push_back(QFile::encodeName(a));
    std::vector<char *> argv;
    for (QByteArray &a : argStore)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    QMap<QString, QString> env;
    for (char **e = environ; *e; ++e) {
        const QString entry = QString::fromLocal8Bit(*e);
        const qsizetype eq = entry.indexOf('=');
        if (eq > 0)
            env.insert(entry.left(eq), entry.mid(eq + 1));
    }
    for (const QString &name : options.unset)
        env.remove(name);
    for (auto it = options.environment.cbegin(); it != options.environment.cend(); ++it)
        env.insert(it.key(), it.value());
    std::vector<QByteArray> envStore;
    for (auto it = env.cbegin(); it != env.cend(); ++it)
        envStore.push_back((it.key() + '=' + it.value()).toLocal8Bit());
    std::vector<char *> envp;
    for (QByteArray &e : envStore)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    const QByteArray folder = QFile::encodeName(options.workingDirectory);

    const int inFd = in.handle();
    const int outFd = out.handle();
    const int errFd = err.handle();
    const long limit = options.fileSizeLimit;
    const pid_t pid = ::fork();
    if (pid < 0)
        return result;
    if (pid == 0) {
        ::dup2(inFd, 0);
        ::dup2(outFd, 1);
        ::dup2(errFd, 2);
        if (!folder.isEmpty() && ::chdir(folder.constData()) != 0)
            ::_exit(127);
        if (limit > 0) {
            // A full disk: writes beyond the limit fail (EFBIG) instead of killing.
            ::signal(SIGXFSZ, SIG_IGN);
            struct rlimit r{rlim_t(limit), rlim_t(limit)};
            ::setrlimit(RLIMIT_FSIZE, &r);
        }
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }

    QDeadlineTimer deadline(options.timeoutMs);
    QDeadlineTimer killAt(options.killAfterMs < 0 ? QDeadlineTimer::Forever : QDeadlineTimer(options.killAfterMs));
    int status = 0;
    struct rusage usage{};
    for (;;) {
        const pid_t done = ::wait4(pid, &status, WNOHANG, &usage);
        if (done == pid)
            break;
        if (killAt.hasExpired() || deadline.hasExpired()) {
            result.timedOut = deadline.hasExpired() && !killAt.hasExpired();
            ::kill(pid, SIGKILL);
            ::wait4(pid, &status, 0, &usage);
            break;
        }
        QTest::qWait(5);
    }
    if (WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
    result.crashed = result.timedOut || !WIFEXITED(status);
    result.peakKilobytes = usage.ru_maxrss;
    out.seek(0);
    err.seek(0);
    result.out = QString::fromUtf8(out.readAll());
    result.err = QString::fromUtf8(err.readAll());
    return result;
}

} // namespace programs
