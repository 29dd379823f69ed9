#include "FakeModelServer.h"

#include "platform/Defaults.h"
#include "platform/LanguageModel.h"

#include <QElapsedTimer>
#include <QTest>

using namespace vellora;

namespace {
GenerationSchema sampleSchema()
{
    return {QStringLiteral("Sample"),
            {{"type", "object"},
             {"properties", {{"word", {{"type", "string"}, {"description", "One word"}}}}},
             {"required", {"word"}}}};
}

LanguageModelResult ask(const LanguageModel &model, const QString &prompt, bool includeSchema = true)
{
    std::optional<LanguageModelResult> result;
    LanguageModelSession(model, QStringLiteral("Be brief.")).respond(prompt, sampleSchema(), includeSchema,
                                                                      [&](LanguageModelResult r) { result = r; });
    if (!QTest::qWaitFor([&] { return result.has_value(); }, 10000))
        return {std::nullopt, QStringLiteral("test: no callback")};
    return *result;
}
} // namespace

class TestLanguageModel : public QObject {
    Q_OBJECT
private slots:
    void init();
    void endpointFromSetting_data();
    void endpointFromSetting();
    void unavailableWithoutSetting();
    void requestForm();
    void decoding_data();
    void decoding();
    void httpErrorIsFailure();
    void timeout();
};

void TestLanguageModel::init()
{
    for (const char *key : {kLanguageModelURLKey, kLanguageModelNameKey, kLanguageModelTimeoutKey})
        Defaults::standard().remove(QString::fromLatin1(key));
}

void TestLanguageModel::endpointFromSetting_data()
{
    QTest::addColumn<QString>("setting");
    QTest::addColumn<QString>("endpoint");
    QTest::newRow("empty") << "" << "";
    QTest::newRow("base") << "http://127.0.0.1:8080" << "http://127.0.0.1:8080/v1/chat/completions";
    QTest::newRow("base slash") << "http://127.0.0.1:8080/" << "http://127.0.0.1:8080/v1/chat/completions";
    QTest::newRow("v1") << "http://localhost:11434/v1" << "http://localhost:11434/v1/chat/completions";
    QTest::newRow("full") << "https://h.local/x/chat/completions" << "https://h.local/x/chat/completions";
    QTest::newRow("blank") << "   " << "";
    QTest::newRow("other scheme") << "ftp://127.0.0.1/" << "";
    QTest::newRow("no host") << "http://" << "";
    QTest::newRow("file") << "file:///tmp/model" << "";
}

void TestLanguageModel::endpointFromSetting()
{
    QFETCH(QString, setting);
    QFETCH(QString, endpoint);
    QCOMPARE(LanguageModel::endpointFromSetting(setting).toString(), endpoint);
    Defaults::standard().set(QString::fromLatin1(kLanguageModelURLKey), setting);
    QCOMPARE(LanguageModel::systemDefault().isAvailable(), !endpoint.isEmpty());
}

void TestLanguageModel::unavailableWithoutSetting()
{
    FakeModelServer server;
    QVERIFY(!LanguageModel::systemDefault().isAvailable());
    bool called = false;
    LanguageModelSession(LanguageModel::systemDefault(), QStringLiteral("x"))
        .respond(QStringLiteral("p"), sampleSchema(), true, [&](LanguageModelResult r) {
            called = true;
            QVERIFY(!r.ok());
        });
    QVERIFY(called); // at once, without a round trip
    QTest::qWait(50);
    QCOMPARE(server.requestCount(), 0);
}

void TestLanguageModel::requestForm()
{
    FakeModelServer server;
    server.enqueue(FakeModelServer::answer(nlohmann::json{{"word", "hello"}}));
    server.enqueue(FakeModelServer::answer(nlohmann::json{{"word", "again"}}));
    Defaults::standard().set(QString::fromLatin1(kLanguageModelURLKey), server.url().toString());
    Defaults::standard().set(QString::fromLatin1(kLanguageModelNameKey), QStringLiteral("tiny-model"));

    const LanguageModelResult result = ask(LanguageModel::systemDefault(), QStringLiteral("Say hi ünïcode"));
    QVERIFY2(result.ok(), qPrintable(result.error));
    QCOMPARE(result.content->at("word").get<std::string>(), "hello");

    QCOMPARE(server.requestCount(), 1);
    const auto &request = server.requests().first();
    QCOMPARE(request.method, QByteArray("POST"));
    QCOMPARE(request.path, QByteArray("/v1/chat/completions"));
    QCOMPARE(request.system(), QStringLiteral("Be brief."));
    QCOMPARE(request.user(), QStringLiteral("Say hi ünïcode") + LanguageModel::schemaNote(sampleSchema()));
    QVERIFY(request.user().contains(QStringLiteral("\"description\":\"One word\"")));
    QCOMPARE(request.body.at("model").get<std::string>(), "tiny-model");
    QCOMPARE(request.body.at("response_format").at("type").get<std::string>(), "json_schema");
    QVERIFY(request.body.at("response_format").at("json_schema").at("schema") == sampleSchema().schema);
    // Default generation options: nothing of the sampling is set.
    for (const char *key : {"temperature", "max_tokens", "top_p", "seed"})
        QVERIFY(!request.body.contains(key));

    // Without the schema in the prompt, the prompt goes alone.
    QVERIFY(ask(LanguageModel::systemDefault(), QStringLiteral("plain"), false).ok());
    QCOMPARE(server.requests().at(1).user(), QStringLiteral("plain"));
    QVERIFY(server.requests().at(1).body.contains("response_format"));
}

void TestLanguageModel::decoding_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("ok");
    const auto wrap = [](const QByteArray &content) { return FakeModelServer::answer(content).body; };
    QTest::newRow("json content") << wrap("{\"word\":\"x\"}") << true;
    QTest::newRow("fenced content") << wrap("```json\n{\"word\":\"x\"}\n```") << true;
    QTest::newRow("content with blanks") << wrap("  \n{\"word\":\"x\"}\n") << true;
    QTest::newRow("prose content") << wrap("Sure! Here it is") << false;
    QTest::newRow("truncated content") << wrap("{\"word\":\"x") << false;
    QTest::newRow("no choices") << QByteArray("{\"choices\":[]}") << false;
    QTest::newRow("content not text") << QByteArray("{\"choices\":[{\"message\":{\"content\":5}}]}") << false;
    QTest::newRow("not json") << QByteArray("<html>") << false;
    QTest::newRow("ill-formed utf-8")
        << QByteArray("{\"choices\":[{\"message\":{\"content\":\"{\\\"word\\\":\\\"a\xff\\\"}\"}}]}") << false;
    QTest::newRow("lone surrogate")
        << QByteArray("{\"choices\":[{\"message\":{\"content\":\"{\\\"word\\\":\\\"\\\\ud800\\\"}\"}}]}") << false;
}

void TestLanguageModel::decoding()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, ok);
    const LanguageModelResult result = decodeChatCompletion(body);
    QCOMPARE(result.ok(), ok);
    if (ok)
        QCOMPARE(result.content->at("word").get<std::string>(), "x");
    else
        QVERIFY(!result.error.isEmpty());
}

void TestLanguageModel::httpErrorIsFailure()
{
    FakeModelServer server;
    server.enqueue({503, FakeModelServer::answer(nlohmann::json{{"word", "x"}}).body, false});
    Defaults::standard().set(QString::fromLatin1(kLanguageModelURLKey), server.url().toString());
    QVERIFY(!ask(LanguageModel::systemDefault(), QStringLiteral("p")).ok());
    QCOMPARE(server.requestCount(), 1);
}

void TestLanguageModel::timeout()
{
    FakeModelServer server;
    server.setStanding({200, {}, true});
    Defaults::standard().set(QString::fromLatin1(kLanguageModelURLKey), server.url().toString());
    Defaults::standard().set(QString::fromLatin1(kLanguageModelTimeoutKey), 0.3);
    QElapsedTimer clock;
    clock.start();
    const LanguageModelResult result = ask(LanguageModel::systemDefault(), QStringLiteral("p"));
    QVERIFY(!result.ok());
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
}

QTEST_MAIN(TestLanguageModel)
#include "tst_languagemodel.moc"
