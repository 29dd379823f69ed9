#include "FakeModelServer.h"

#include "platform/Defaults.h"
#include "platform/LanguageModel.h"

#include "enrichment/LanguageFeatures.h"
#include "enrichment/Search.h"

#include <QElapsedTimer>
#include <QTest>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace vellora;

Q_DECLARE_METATYPE(GenerationSchema)

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
    void schemasKeepTheirOrderAndAreStrict_data();
    void schemasKeepTheirOrderAndAreStrict();
    void unreachableServerFailsWithinTheConnectTime();
    void failureRestsTheModel();
};

namespace {
using ojson = nlohmann::ordered_json;

QStringList keysOf(const ojson &object)
{
    QStringList keys;
    for (auto it = object.begin(); it != object.end(); ++it)
        keys << QString::fromStdString(it.key());
    return keys;
}

// What OpenAI-style strict structured output refuses, by path: an object
// that allows other properties, or that does not require every property.
QStringList strictViolations(const ojson &schema, const QString &path = QStringLiteral("$"))
{
    QStringList faults;
    if (schema.contains("properties")) {
        if (schema.value("additionalProperties", true) != false)
            faults << path + QStringLiteral(": other properties allowed");
        QStringList required;
        for (const auto &name : schema.value("required", ojson::array()))
            required << QString::fromStdString(name.get<std::string>());
        if (required != keysOf(schema.at("properties")))
            faults << path + QStringLiteral(": required ") + required.join(u',') + QStringLiteral(" of ")
                    + keysOf(schema.at("properties")).join(u',');
        for (auto it = schema.at("properties").begin(); it != schema.at("properties").end(); ++it)
            faults << strictViolations(it.value(), path + u'.' + QString::fromStdString(it.key()));
    }
    if (schema.contains("items"))
        faults << strictViolations(schema.at("items"), path + QStringLiteral("[]"));
    return faults;
}

// What any JSON-schema reader refuses with strict off: a required name that
// is no property, a property without a type.
QStringList looseViolations(const ojson &schema, const QString &path = QStringLiteral("$"))
{
    QStringList faults;
    if (!schema.contains("type"))
        faults << path + QStringLiteral(": no type");
    if (schema.contains("properties")) {
        const QStringList names = keysOf(schema.at("properties"));
        for (const auto &name : schema.value("required", ojson::array()))
            if (!names.contains(QString::fromStdString(name.get<std::string>())))
                faults << path + QStringLiteral(": unknown required ") + QString::fromStdString(name.get<std::string>());
        for (auto it = schema.at("properties").begin(); it != schema.at("properties").end(); ++it)
            faults << looseViolations(it.value(), path + u'.' + QString::fromStdString(it.key()));
    }
    if (schema.contains("items"))
        faults << looseViolations(schema.at("items"), path + QStringLiteral("[]"));
    return faults;
}

// A loopback port whose listen queue is full: a connection to it is never
// answered, as with a host that drops packets.
struct UnansweringPort {
    int listener = -1;
    int filler = -1;
    quint16 port = 0;
    UnansweringPort()
    {
        listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(listener, reinterpret_cast<sockaddr *>(&address), length) != 0 || ::listen(listener, 0) != 0
            || ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0)
            return;
        filler = ::socket(AF_INET, SOCK_STREAM, 0);
        if (::connect(filler, reinterpret_cast<sockaddr *>(&address), length) != 0)
            return;
        port = ntohs(address.sin_port);
    }
    ~UnansweringPort()
    {
        if (filler >= 0)
            ::close(filler);
        if (listener >= 0)
            ::close(listener);
    }
};
} // namespace

void TestLanguageModel::init()
{
    for (const char *key : {kLanguageModelURLKey, kLanguageModelNameKey, kLanguageModelTimeoutKey})
        Defaults::standard().remove(QString::fromLatin1(key));
    LanguageModel::endAllRests();
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
    QVERIFY(request.body.at("response_format").at("json_schema").at("schema") == nlohmann::json(sampleSchema().schema));
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

void TestLanguageModel::schemasKeepTheirOrderAndAreStrict_data()
{
    QTest::addColumn<GenerationSchema>("schema");
    QTest::addColumn<QStringList>("order");
    QTest::addColumn<QStringList>("nestedOrder"); // of the first nested object
    QTest::newRow("insight") << linkInsightSchema()
                             << QStringList{"summary", "keyPoints", "category", "entities", "suggestedTags"}
                             << QStringList{"productName", "price", "author", "publishDate"};
    QTest::newRow("tags") << tagSuggestionSchema() << QStringList{"tags"} << QStringList{};
    QTest::newRow("rules") << generatedRulesSchema() << QStringList{"match", "rules"} << QStringList{"type", "value"};
    QTest::newRow("search") << searchPlanSchema() << QStringList{"terms", "colors"} << QStringList{};
}

void TestLanguageModel::schemasKeepTheirOrderAndAreStrict()
{
    QFETCH(GenerationSchema, schema);
    QFETCH(QStringList, order);
    QFETCH(QStringList, nestedOrder);
    FakeModelServer server;
    server.enqueue(FakeModelServer::answer(nlohmann::json{{"word", "x"}}));
    Defaults::standard().set(QString::fromLatin1(kLanguageModelURLKey), server.url().toString());
    std::optional<LanguageModelResult> result;
    LanguageModelSession(LanguageModel::systemDefault(), QStringLiteral("i"))
        .respond(QStringLiteral("p"), schema, true, [&](LanguageModelResult r) { result = r; });
    QTRY_VERIFY_WITH_TIMEOUT(result.has_value(), 10000);
    QCOMPARE(server.requestCount(), 1);

    // As the server reads it: the properties in their declared order, in the
    // response format and in the note after the prompt alike.
    const ojson sent = ojson::parse(server.requests().first().raw.toStdString());
    const ojson &format = sent.at("response_format").at("json_schema");
    const ojson &sentSchema = format.at("schema");
    QCOMPARE(keysOf(sentSchema.at("properties")), order);
    const QString user = QString::fromStdString(sent.at("messages").at(1).at("content").get<std::string>());
    const QString note = user.mid(user.indexOf(u'{'));
    QCOMPARE(keysOf(ojson::parse(note.toStdString()).at("properties")), order);
    if (!nestedOrder.isEmpty()) {
        for (auto it = sentSchema.at("properties").begin(); it != sentSchema.at("properties").end(); ++it) {
            const ojson &inner = it.value().contains("items") ? it.value().at("items") : it.value();
            if (inner.contains("properties")) {
                QCOMPARE(keysOf(inner.at("properties")), nestedOrder);
                break;
            }
        }
    }

    // Valid under the rule the request asks for, and under the loose one.
    const QStringList loose = looseViolations(sentSchema);
    QVERIFY2(loose.isEmpty(), qPrintable(loose.join(u'\n')));
    if (format.value("strict", false)) {
        const QStringList strict = strictViolations(sentSchema);
        QVERIFY2(strict.isEmpty(), qPrintable(strict.join(u'\n')));
    }
}

void TestLanguageModel::unreachableServerFailsWithinTheConnectTime()
{
    UnansweringPort port;
    QVERIFY(port.port != 0);
    Defaults::standard().set(QString::fromLatin1(kLanguageModelURLKey),
                             QStringLiteral("http://127.0.0.1:%1").arg(port.port));
    const LanguageModel model = LanguageModel::systemDefault();
    model.rest(0);
    QElapsedTimer clock;
    clock.start();
    const LanguageModelResult result = ask(model, QStringLiteral("p"));
    QVERIFY(!result.ok());
    QVERIFY(result.unanswered);
    // Well before the 60 s time-out of the whole request.
    QVERIFY2(clock.elapsed() < 9000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(model.isResting());
    model.rest(0);
}

void TestLanguageModel::failureRestsTheModel()
{
    FakeModelServer server;
    server.enqueue({503, QByteArrayLiteral("{}"), false});
    server.setStanding(FakeModelServer::answer(nlohmann::json{{"tags", {"Sky", "blue", "calm"}}}));
    Defaults::standard().set(QString::fromLatin1(kLanguageModelURLKey), server.url().toString());
    const LanguageModel model = LanguageModel::systemDefault();
    QVERIFY(model.isAvailable());

    auto tagsIfAnswered = [] {
        std::optional<std::optional<QStringList>> out;
        suggestTagsIfAnswered(QStringLiteral("a.png"), {QStringLiteral("sky")}, {},
                              [&](std::optional<QStringList> tags) { out = tags; });
        if (!QTest::qWaitFor([&] { return out.has_value(); }, 10000))
            qFatal("no answer");
        return *out;
    };
    // The failed request gives no tags at all, not the fallback as an answer.
    QCOMPARE(tagsIfAnswered(), std::optional<QStringList>());
    QCOMPARE(server.requestCount(), 1);
    QVERIFY(model.isResting() && !model.isAvailable());
    QVERIFY(model.restRemainingMs() > 60 * 1000 && model.restRemainingMs() <= LanguageModel::kRestSeconds * 1000);

    // While it rests nothing is sent; every feature answers at once.
    QCOMPARE(tagsIfAnswered(), std::optional<QStringList>());
    const LanguageModelResult resting = ask(model, QStringLiteral("p"));
    QVERIFY(resting.unanswered);
    QCOMPARE(server.requestCount(), 1);
    // The feature with a fallback still gives it to callers that want one.
    std::optional<QStringList> plain;
    suggestTags(QStringLiteral("a.png"), {QStringLiteral("sky")}, {}, [&](QStringList t) { plain = t; });
    QTRY_VERIFY(plain.has_value());
    QCOMPARE(*plain, QStringList{"sky"});

    // After the rest the model is asked again.
    model.rest(0);
    QCOMPARE(tagsIfAnswered(), std::optional<QStringList>(QStringList{"sky", "blue", "calm"}));
    QCOMPARE(server.requestCount(), 2);

    // An answer of the wrong form is an answer: no rest, the fallback stands.
    server.enqueue(FakeModelServer::answer(QByteArrayLiteral("not json")));
    QCOMPARE(tagsIfAnswered(), std::optional<QStringList>(QStringList{"sky"}));
    QVERIFY(!model.isResting());
}

QTEST_MAIN(TestLanguageModel)
#include "tst_languagemodel.moc"
