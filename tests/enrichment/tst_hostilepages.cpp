// "--add-link" of the built program against hostile pages on a loopback
// server. Every run must end by itself, with exit status 0 and its report.
// The runs go side by side (each in a library folder of its own), so the
// table costs the time of its slowest page, not the sum of all.

#include "LoopbackHttpServer.h"

#include <QElapsedTimer>
#include <QHash>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

struct Run {
    QString url;
    std::unique_ptr<QTemporaryDir> home;
    std::unique_ptr<QTemporaryDir> root;
    std::unique_ptr<QProcess> process;
    QElapsedTimer clock;
    qint64 elapsedMs = -1;
    QString out;
    QString err;
};

// The program's own bounds for one link: page fetch 15 s, icons 10 s,
// snapshot watchdog 10 s plus its settling, script and frame waits (about
// 15 s), preview image 15 s; and a start-up of the web engine.
constexpr int kRunBoundMs = 90000;

} // namespace

class TestHostilePages : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void endsWithItsReport_data();
    void endsWithItsReport();
    void cleanupTestCase();

private:
    void start(const QString &name, const QString &path);

    LoopbackHttpServer m_server;
    QHash<QString, Run *> m_runs;
    std::vector<std::unique_ptr<Run>> m_owned;
};

void TestHostilePages::initTestCase()
{
    QVERIFY(m_server.listen());
    m_server.set("/favicon.ico", {404, "text/plain", "no", {}, false});

    m_server.page("/dialogs",
                  "<html><head><title>Dialogs</title><script>alert('one'); confirm('two?'); prompt('three', 'x');"
                  "</script></head><body onload=\"alert('loaded'); confirm('sure?')\"><p>Dialog page</p>"
                  "<script>setInterval(function () { alert('again') }, 200);</script></body></html>");

    m_server.page("/deep", "<html><head><title>Deep</title></head><body>" + QByteArray("<div>").repeated(100000)
                               + "deep down" + QByteArray("</div>").repeated(100000) + "</body></html>");

    m_server.set("/hang.png", {200, "image/png", {}, {}, true});
    QByteArray flood = "<html><head><title>Icons</title>";
    for (int i = 0; i < 100000; ++i)
        flood += "<link rel=icon href=/hang.png?" + QByteArray::number(i) + ">";
    m_server.page("/icons", flood + "</head><body>icons</body></html>");

    // 50 MB: the program keeps only the head that fits its cap.
    const QByteArray head = "<html><head><title>Huge</title><meta name=description content=\"A large page\"></head><body>";
    const QByteArray paragraph = "<p>Lorem ipsum dolor sit amet, consectetur adipiscing elit.</p>\n";
    m_server.page("/huge", head + paragraph.repeated(50 * 1024 * 1024 / paragraph.size()) + "</body></html>");

    m_server.redirect("/loop", "/loop?again");

    LoopbackHttpServer::Response unfinished{200, "text/html; charset=utf-8",
                                            "<html><head><title>Unfinished</title></head><body><p>more to come", {},
                                            false};
    unfinished.unfinished = true;
    m_server.set("/unfinished", unfinished);

    start("dialogs", "/dialogs");
    start("deep nesting", "/deep");
    start("icon flood", "/icons");
    start("huge body", "/huge");
    start("endless redirects", "/loop");
    start("never finishes", "/unfinished");

    // All run at once; the server answers from this event loop meanwhile.
    QElapsedTimer clock;
    clock.start();
    auto running = [this] {
        for (const auto &run : m_owned)
            if (run->process->state() != QProcess::NotRunning)
                return true;
        return false;
    };
    while (running() && clock.elapsed() < kRunBoundMs + 30000)
        QTest::qWait(50);
    for (const auto &run : m_owned) {
        if (run->process->state() != QProcess::NotRunning) {
            run->process->kill();
            run->process->waitForFinished();
        }
        run->out = QString::fromUtf8(run->process->readAllStandardOutput());
        run->err = QString::fromUtf8(run->process->readAllStandardError());
    }
}

void TestHostilePages::start(const QString &name, const QString &path)
{
    auto run = std::make_unique<Run>();
    run->url = m_server.url(path);
    run->home = std::make_unique<QTemporaryDir>();
    run->root = std::make_unique<QTemporaryDir>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("VELLORA_PRINT_CONTAINER");
    env.remove("VELLORA_MIGRATE");
    env.insert("VELLORA_ROOT", run->root->path());
    env.insert("HOME", run->home->path());
    env.insert("XDG_CONFIG_HOME", run->home->path() + "/config");
    env.insert("XDG_DATA_HOME", run->home->path() + "/data");
    env.insert("XDG_CACHE_HOME", run->home->path() + "/cache");
    run->process = std::make_unique<QProcess>();
    run->process->setProcessEnvironment(env);
    run->process->setWorkingDirectory(run->home->path());
    Run *raw = run.get();
    connect(run->process.get(), &QProcess::finished, this, [raw] { raw->elapsedMs = raw->clock.elapsed(); });
    run->clock.start();
    run->process->start(QStringLiteral(VELLORA_BINARY), {QStringLiteral("--add-link"), run->url});
    run->process->closeWriteChannel();
    m_runs.insert(name, raw);
    m_owned.push_back(std::move(run));
}

void TestHostilePages::endsWithItsReport_data()
{
    QTest::addColumn<QString>("title");
    QTest::newRow("dialogs") << "Dialogs";
    QTest::newRow("deep nesting") << "Deep";
    QTest::newRow("icon flood") << "Icons";
    QTest::newRow("huge body") << "Huge";
    QTest::newRow("endless redirects") << "127.0.0.1"; // no page: the host stands in
    QTest::newRow("never finishes") << "Unfinished";
}

void TestHostilePages::endsWithItsReport()
{
    QFETCH(QString, title);
    const Run *run = m_runs.value(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(run);
    const QString context = QStringLiteral("after %1 ms; stdout: %2\nstderr: %3")
                                .arg(run->elapsedMs)
                                .arg(run->out, run->err.right(3000));
    QVERIFY2(run->elapsedMs >= 0 && run->elapsedMs < kRunBoundMs, qPrintable(context));
    QVERIFY2(run->process->exitStatus() == QProcess::NormalExit && run->process->exitCode() == 0,
             qPrintable(context));
    const QStringList lines = run->out.split(u'\n', Qt::SkipEmptyParts);
    QVERIFY2(lines.size() == 4, qPrintable(context));
    QCOMPARE(lines[0], run->url);
    QCOMPARE(lines[1], QStringLiteral("  title: ") + title);
    QVERIFY2(lines[2].startsWith(QStringLiteral("  site: ")) && lines[2].endsWith(QStringLiteral("snapshot: 1280x800")),
             qPrintable(context));
    QVERIFY(lines[3].startsWith(QStringLiteral("  summary: ")));
    qInfo("%s: %lld ms", QTest::currentDataTag(), run->elapsedMs);
}

void TestHostilePages::cleanupTestCase() { m_owned.clear(); }

QTEST_GUILESS_MAIN(TestHostilePages)
#include "tst_hostilepages.moc"
