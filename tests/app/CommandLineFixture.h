#pragma once
// Runs the built program in a library folder of its own, the way a script
// would, and keeps what it printed.

#include <QDeadlineTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QtTest>

struct ProgramRun {
    QString out;   // standard output, as text
    QString err;   // standard error
    int status = -1;
    bool crashed = false;
    QStringList lines() const { return out.split('\n', Qt::SkipEmptyParts); }
};

class ProgramFixture {
public:
    ProgramFixture()
    {
        Q_ASSERT(m_home.isValid() && m_root.isValid() && m_work.isValid());
    }

    // The library folder (VELLORA_ROOT).
    QString root() const { return m_root.path(); }
    // The working folder the program starts in.
    QString work() const { return m_work.path(); }
    QString home() const { return m_home.path(); }

    // `environment` entries "NAME=value" are added; "NAME" alone removes.
    ProgramRun run(const QStringList &arguments, const QStringList &environment = {}, int timeoutMs = 60000) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("VELLORA_PRINT_CONTAINER");
        env.remove("VELLORA_MIGRATE");
        env.insert("VELLORA_ROOT", m_root.path());
        env.insert("HOME", m_home.path());
        env.insert("XDG_CONFIG_HOME", m_home.path() + "/config");
        env.insert("XDG_DATA_HOME", m_home.path() + "/data");
        env.insert("XDG_CACHE_HOME", m_home.path() + "/cache");
        for (const QString &entry : environment) {
            const qsizetype eq = entry.indexOf('=');
            if (eq < 0)
                env.remove(entry);
            else
                env.insert(entry.left(eq), entry.mid(eq + 1));
        }
        QProcess process;
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(m_work.path());
        process.start(QStringLiteral(VELLORA_BINARY), arguments);
        ProgramRun result;
        if (!process.waitForStarted(10000)) {
            result.err = process.errorString();
            return result;
        }
        process.closeWriteChannel();
        // The event loop keeps turning, so servers of the test itself answer.
        QDeadlineTimer deadline(timeoutMs);
        while (process.state() != QProcess::NotRunning && !deadline.hasExpired())
            QTest::qWait(20);
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
            result.err = QStringLiteral("timed out; stderr: ") + QString::fromUtf8(process.readAllStandardError());
            result.crashed = true;
            return result;
        }
        result.out = QString::fromUtf8(process.readAllStandardOutput());
        result.err = QString::fromUtf8(process.readAllStandardError());
        result.crashed = process.exitStatus() != QProcess::NormalExit;
        result.status = process.exitCode();
        return result;
    }

private:
    QTemporaryDir m_home;
    QTemporaryDir m_root;
    QTemporaryDir m_work;
};

// Status and output in one check, with standard error shown when it fails.
#define VERIFY_RUN(run, expectedStatus, expectedOut)                                                   \
    do {                                                                                               \
        const ProgramRun &r_ = (run);                                                                  \
        QVERIFY2(!r_.crashed, qPrintable("crashed; stderr: " + r_.err));                               \
        QVERIFY2(r_.status == (expectedStatus),                                                        \
                 qPrintable(QString("status %1; stdout: %2; stderr: %3").arg(r_.status).arg(r_.out, r_.err))); \
        QCOMPARE(r_.out, QString(expectedOut));                                                        \
    } while (0)
