#include "app/AddLinkMode.h"
#include "app/HeadlessRunner.h"
#include "app/LocationModes.h"
#include "app/StartupMode.h"
#include "app/Version.h"
#include "library/Item.h"
#include "platform/Defaults.h"
#include "platform/Scheduler.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace vellora;

Q_DECLARE_METATYPE(vellora::StartupMode)

class StartupTest : public QObject {
    Q_OBJECT

private slots:
    void startupOrder_data()
    {
        QTest::addColumn<QStringList>("arguments"); // after the program path
        QTest::addColumn<QStringList>("environment"); // names defined
        QTest::addColumn<StartupMode>("mode");
        QTest::addColumn<int>("optionIndex");

        using M = StartupMode;
        const QStringList none;
        const QStringList both{"VELLORA_PRINT_CONTAINER", "VELLORA_MIGRATE"};
        QTest::newRow("nothing") << none << none << M::Normal << -1;
        QTest::newRow("unknown arguments are ignored") << QStringList{"-NSDocumentRevisionsDebugMode", "YES", "x"}
                                                       << none << M::Normal << -1;
        QTest::newRow("selfcheck beats everything, last")
            << QStringList{"--import", "a.png", "--update", "--selfcheck"} << both << M::SelfCheck << 4;
        QTest::newRow("selfcheck as an import path still wins")
            << QStringList{"--import", "--selfcheck"} << none << M::SelfCheck << 2;
        QTest::newRow("container beats migrate") << QStringList{"--import"} << both << M::PrintContainer << -1;
        QTest::newRow("container with an empty value") << none << QStringList{"VELLORA_PRINT_CONTAINER="}
                                                       << M::PrintContainer << -1;
        QTest::newRow("migrate beats the options") << QStringList{"--import", "a.png"}
                                                   << QStringList{"VELLORA_MIGRATE"} << M::Migrate << -1;
        QTest::newRow("import takes the rest, add-link included")
            << QStringList{"--import", "a.png", "--add-link", "example.com"} << none << M::Import << 1;
        QTest::newRow("import beats import-library before it")
            << QStringList{"--import-library", "/old", "--import", "b.png"} << none << M::Import << 3;
        QTest::newRow("import-library") << QStringList{"--import-library", "/old", "/other"} << none
                                        << M::ImportLibrary << 1;
        QTest::newRow("import-library alone") << QStringList{"--import-library"} << none << M::ImportLibrary << 1;
        QTest::newRow("first occurrence of add-link")
            << QStringList{"x", "--add-link", "a.com", "--add-link"} << none << M::AddLink << 2;
        QTest::newRow("add-link beats share") << QStringList{"--share", "Moodboard", "--add-link"} << none
                                              << M::AddLink << 3;
        QTest::newRow("share with a name") << QStringList{"--share", "Moodboard", "--update"} << none
                                           << M::Share << 1;
        QTest::newRow("share as the last argument goes on to update")
            << QStringList{"--update", "--share"} << none << M::Update << 1;
        QTest::newRow("share as the last argument alone") << QStringList{"--share"} << none << M::Normal << -1;
        QTest::newRow("update beats ingest-drops") << QStringList{"--ingest-drops", "--update"} << none
                                                   << M::Update << 2;
        QTest::newRow("ingest-drops") << QStringList{"--ingest-drops"} << none << M::IngestDrops << 1;
        QTest::newRow("add-to-library") << QStringList{"--add-to-library", "a.png", "example.com"} << none
                                        << M::AddToLibrary << 1;
        QTest::newRow("ingest-drops beats add-to-library")
            << QStringList{"--add-to-library", "a.png", "--ingest-drops"} << none << M::IngestDrops << 3;
        QTest::newRow("options are case-sensitive whole strings")
            << QStringList{"--Import", "--import=a.png", "-import", "--selfcheck2"} << none << M::Normal << -1;
    }
    void startupOrder()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, environment);
        QFETCH(StartupMode, mode);
        QFETCH(int, optionIndex);

        QProcessEnvironment env;
        env.insert("HOME", "/home/someone");
        for (const QString &entry : environment) {
            const qsizetype eq = entry.indexOf('=');
            env.insert(eq < 0 ? entry : entry.left(eq), eq < 0 ? QString("1") : entry.mid(eq + 1));
        }
        const StartupChoice choice = chooseStartupMode(QStringList{"/usr/bin/vellora"} + arguments, env);
        QCOMPARE(choice.mode, mode);
        QCOMPARE(choice.optionIndex, qsizetype(optionIndex));
    }

    void programPathIsNoOption()
    {
        const StartupChoice choice = chooseStartupMode({"--update"}, QProcessEnvironment());
        QCOMPARE(choice.mode, StartupMode::Normal);
    }

    void argumentsAfterTheOption()
    {
        const QStringList args{"vellora", "--import", "a.png", "--add-link", "b.com"};
        const StartupChoice choice = chooseStartupMode(args, QProcessEnvironment());
        QCOMPARE(choice.argumentsAfter(args), (QStringList{"a.png", "--add-link", "b.com"}));
        QCOMPARE(StartupChoice{}.argumentsAfter(args), QStringList());
    }

    void defaultsArgumentsStopAtDataModes_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("import paths are no defaults")
            << QStringList{"v", "-syncedFolder", "/s", "--import", "-libraryLocation", "icloud"}
            << QStringList{"v", "-syncedFolder", "/s"};
        QTest::newRow("add-link") << QStringList{"v", "--add-link", "-x", "y"} << QStringList{"v"};
        QTest::newRow("add-to-library") << QStringList{"v", "--add-to-library", "-x", "y"} << QStringList{"v"};
        QTest::newRow("import-library") << QStringList{"v", "--import-library", "-x"} << QStringList{"v"};
        QTest::newRow("update keeps all") << QStringList{"v", "--update", "-VELLORA_APPCAST_URL", "http://x"}
                                          << QStringList{"v", "--update", "-VELLORA_APPCAST_URL", "http://x"};
        QTest::newRow("window keeps all") << QStringList{"v", "-sidebarWidth", "300"}
                                          << QStringList{"v", "-sidebarWidth", "300"};
    }
    void defaultsArgumentsStopAtDataModes()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, expected);
        const StartupChoice choice = chooseStartupMode(arguments, QProcessEnvironment());
        QCOMPARE(choice.defaultsArguments(arguments), expected);
    }

    void initialSelection_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<QString>("expected");
        QTest::newRow("none") << QVariant() << "inbox";
        QTest::newRow("retired instagram") << QVariant("instagram") << "inbox";
        QTest::newRow("a collection id") << QVariant("5F1C2D3E-0000-4000-8000-000000000001")
                                         << "5F1C2D3E-0000-4000-8000-000000000001";
        QTest::newRow("a built-in section") << QVariant("links") << "links";
        QTest::newRow("an id of nothing is kept") << QVariant("no-such-board") << "no-such-board";
    }
    void initialSelection()
    {
        QFETCH(QVariant, stored);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        Defaults defaults(dir.filePath("d.conf"));
        if (stored.isValid())
            defaults.set("lastBoard", stored);
        QCOMPARE(vellora::initialSelection(defaults), expected);
    }

    void buildNumber_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint64>("build");
        QTest::newRow("plain") << "57" << qint64(57);
        QTest::newRow("plus sign") << "+57" << qint64(57);
        QTest::newRow("minus sign") << "-3" << qint64(-3);
        QTest::newRow("leading zeros") << "0042" << qint64(42);
        QTest::newRow("year dot number") << "2024.3" << qint64(0);
        QTest::newRow("dotted") << "1.0" << qint64(0);
        QTest::newRow("leading space") << " 57" << qint64(0);
        QTest::newRow("trailing space") << "57 " << qint64(0);
        QTest::newRow("empty") << "" << qint64(0);
        QTest::newRow("lone plus") << "+" << qint64(0);
        QTest::newRow("lone minus") << "-" << qint64(0);
        QTest::newRow("two signs") << "+-5" << qint64(0);
        QTest::newRow("letter") << "57b" << qint64(0);
        QTest::newRow("non-ASCII digit") << QString::fromUtf8("5\u0667") << qint64(0);
        QTest::newRow("largest") << "9223372036854775807" << std::numeric_limits<qint64>::max();
        QTest::newRow("one past the largest") << "9223372036854775808" << qint64(0);
        QTest::newRow("smallest") << "-9223372036854775808" << std::numeric_limits<qint64>::min();
        QTest::newRow("one past the smallest") << "-9223372036854775809" << qint64(0);
        QTest::newRow("far too long") << "123456789012345678901234567890" << qint64(0);
    }
    void buildNumber()
    {
        QFETCH(QString, text);
        QFETCH(qint64, build);
        QCOMPARE(parseBuildNumber(text), build);
    }

    void label()
    {
        QCOMPARE(makeBetaLabel("1.4", 57), QString::fromUtf8("Vellora 1.4 (57) \u00B7 Beta"));
        QCOMPARE(makeBetaLabel(versionOrZero(QString()), parseBuildNumber(QString())),
                 QString::fromUtf8("Vellora 0 (0) \u00B7 Beta"));
        QCOMPARE(makeBetaLabel("2.0", -3), QString::fromUtf8("Vellora 2.0 (-3) \u00B7 Beta"));
    }

    void waitingRunsTheModesWork()
    {
        // The mode's work is main-thread work posted from the mode itself and
        // from what it starts; the wait must let all of it run.
        CompletionFlag flag = makeCompletionFlag();
        int steps = 0;
        Scheduler::main().post([&] {
            ++steps;
            Scheduler::main().postAfter(0.15, [&] {
                ++steps;
                *flag = true;
            });
        });
        waitForCompletion(flag);
        QCOMPARE(steps, 2);

        ResultFlag result = makeResultFlag();
        Scheduler::main().post([&] { *result = false; });
        waitForResult(result);
        QCOMPARE(*result, std::optional<bool>(false));
    }

    void addLinkReport()
    {
        Item item;
        item.id = "I";
        item.kind = "link";
        item.pixelWidth = 1280;
        item.pixelHeight = 800;
        item.title = "Orange Story";
        item.siteName = "Fruit Site";
        item.faviconFilename = "I.png";
        item.summary = "All about oranges";
        LinkInsight insight;
        insight.summary = "Oranges.";
        insight.keyPoints = {"round"};
        insight.category = "article";
        insight.entities.author = "A/B";
        insight.suggestedTags = {"fruit"};
        item.insight = insight;
        const QString url = "https://example.com/og";
        QCOMPARE(vellora::addLinkReport(url, item),
                 (QStringList{"  insight: " + QString::fromUtf8(insight.compactJSON()), url,
                              "  title: Orange Story", "  site: Fruit Site  favicon: I.png  snapshot: 1280x800",
                              "  summary: All about oranges"}));

        // Nothing found: dashes, and no insight line.
        Item bare;
        bare.kind = "link";
        QCOMPARE(vellora::addLinkReport(url, bare),
                 (QStringList{url, "  title: -", "  site: -  favicon: -  snapshot: 0x0", "  summary: -"}));
    }

    void movedTable()
    {
        QCOMPARE(movedTableText({}), QString("[:]"));
        QCOMPARE(movedTableText({{"originals", 3}}), QString(R"(["originals": 3])"));
        QCOMPARE(movedTableText({{"library.json", 1}, {"thumbnails", 0}}),
                 QString(R"(["library.json": 1, "thumbnails": 0])"));
    }

    void globalsFollowTheBuild()
    {
        QCOMPARE(appVersion(), versionOrZero(VELLORA_EXPECTED_VERSION));
        QCOMPARE(appBuild(), parseBuildNumber(QStringLiteral(VELLORA_EXPECTED_BUILD)));
        QCOMPARE(betaLabel(), makeBetaLabel(appVersion(), appBuild()));
        QVERIFY(!appVersion().isEmpty());
    }
};

QTEST_GUILESS_MAIN(StartupTest)
#include "tst_startup.moc"
