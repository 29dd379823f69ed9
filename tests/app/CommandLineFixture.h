#pragma once
// Runs the built program in a library folder of its own, the way a script
// would, and keeps what it printed.

#include "ProgramRunner.h"

#include <QTemporaryDir>
#include <QtTest>

using ProgramRun = programs::Run;

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
        programs::Options options;
        options.unset = {"VELLORA_PRINT_CONTAINER", "VELLORA_MIGRATE"};
        options.environment = {{"VELLORA_ROOT", m_root.path()},
                               {"HOME", m_home.path()},
                               {"XDG_CONFIG_HOME", m_home.path() + "/config"},
                               {"XDG_DATA_HOME", m_home.path() + "/data"},
                               {"XDG_CACHE_HOME", m_home.path() + "/cache"}};
        options.change(environment);
        options.workingDirectory = m_work.path();
        options.timeoutMs = timeoutMs;
        ProgramRun result = programs::run(QStringLiteral(VELLORA_BINARY), arguments, options);
        if (result.timedOut)
            result.err = QStringLiteral("timed out; stderr: ") + result.err;
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
