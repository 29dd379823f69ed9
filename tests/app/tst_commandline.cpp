#include "CommandLineFixture.h"

class CommandLineTest : public QObject {
    Q_OBJECT

private slots:
    void modesNotBuiltYet_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("output");
        QTest::newRow("selfcheck") << QStringList{"--import", "x.png", "--selfcheck"}
                                   << "selfcheck: not built yet\n";
        QTest::newRow("share") << QStringList{"--share", "Moodboard"} << "share: not built yet\n";
        QTest::newRow("share last, then update") << QStringList{"--update", "--share"}
                                                 << "update: not built yet\n";
    }
    void modesNotBuiltYet()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, output);
        ProgramFixture fixture;
        VERIFY_RUN(fixture.run(arguments), 1, output);
    }
};

QTEST_GUILESS_MAIN(CommandLineTest)
#include "tst_commandline.moc"
