#include "FakeModelServer.h"

#include "enrichment/LanguageFeatures.h"
#include "enrichment/RuleDraft.h"
#include "platform/Defaults.h"

#include <QTest>

using namespace vellora;
using nlohmann::json;

Q_DECLARE_METATYPE(json)

namespace {
json insightAnswer()
{
    return {{"summary", "A shop page for a chair."},
            {"keyPoints", {"Oak frame", "Ships in a week"}},
            {"category", "furniture"}, // outside the asked list: kept as it is
            {"entities", {{"productName", "Form Chair"}, {"price", "€ 240"}, {"author", nullptr}}},
            {"suggestedTags", {"Chair", "OAK"}}};
}

template <typename T, typename Start> T await(Start start)
{
    std::optional<T> result;
    start([&](T value) { result = std::move(value); });
    if (!QTest::qWaitFor([&] { return result.has_value(); }, 10000))
        qFatal("no answer");
    return *result;
}

std::optional<LinkInsight> describe(const QString &title, const QString &url, const QString &page)
{
    return await<std::optional<LinkInsight>>([&](auto done) { describeLink(title, url, page, done); });
}
QStringList tags(const QString &filename, const QStringList &labels, const QString &text)
{
    return await<QStringList>([&](auto done) { suggestTags(filename, labels, text, done); });
}
std::optional<GeneratedRules> rules(const QString &description)
{
    return await<std::optional<GeneratedRules>>([&](auto done) { generateRules(description, done); });
}
} // namespace

class TestLanguageFeatures : public QObject {
    Q_OBJECT
private slots:
    void init();
    void withoutEndpointNothingIsAsked();
    void fallbackTags_data();
    void fallbackTags();
    void insightRequestAndAnswer();
    void pageTextIsCutAtCharacters();
    void emptyPageTextAsksNothing();
    void authorRule_data();
    void authorRule();
    void malformedAnswersFallBack_data();
    void malformedAnswersFallBack();
    void tagRequestAndAnswer();
    void generatedRules();
    void ruleDrafts_data();
    void ruleDrafts();
    void draftsFromRules();

private:
    void useServer(FakeModelServer &server)
    {
        Defaults::standard().set(QString::fromLatin1(kLanguageModelURLKey), server.url().toString());
    }
};

void TestLanguageFeatures::init()
{
    Defaults::standard().remove(QString::fromLatin1(kLanguageModelURLKey));
    Defaults::standard().set(QString::fromLatin1(kLanguageModelTimeoutKey), 5.0);
    LanguageModel::endAllRests();
}

void TestLanguageFeatures::withoutEndpointNothingIsAsked()
{
    FakeModelServer server;
    server.setStanding(FakeModelServer::answer(insightAnswer()));
    QVERIFY(!languageModelAvailable());
    QVERIFY(!describe(QStringLiteral("T"), QStringLiteral("https://a.example/"), QStringLiteral("page")));
    QCOMPARE(tags(QStringLiteral("f.png"), {"a", "b"}, QStringLiteral("text")), (QStringList{"a", "b"}));
    QVERIFY(!rules(QStringLiteral("links about chairs")));
    QTest::qWait(50);
    QCOMPARE(server.requestCount(), 0);
}

void TestLanguageFeatures::fallbackTags_data()
{
    QTest::addColumn<QStringList>("labels");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("seven") << QStringList{"A", "b", "c", "d", "e", "f", "g"} << QStringList{"A", "b", "c", "d", "e"};
    QTest::newRow("three") << QStringList{"Text", "dark", "square"} << QStringList{"Text", "dark", "square"};
    QTest::newRow("none") << QStringList{} << QStringList{};
}

void TestLanguageFeatures::fallbackTags()
{
    QFETCH(QStringList, labels);
    QFETCH(QStringList, expected);
    // Unavailable, and failing: both give the labels, unchanged.
    QCOMPARE(tags(QStringLiteral("x.jpg"), labels, QString()), expected);
    FakeModelServer server;
    server.setStanding({500, "{}", false});
    useServer(server);
    QCOMPARE(tags(QStringLiteral("x.jpg"), labels, QString()), expected);
    QCOMPARE(server.requestCount(), 1);
}

void TestLanguageFeatures::insightRequestAndAnswer()
{
    FakeModelServer server;
    server.enqueue(FakeModelServer::answer(insightAnswer()));
    useServer(server);
    const auto insight = describe(QStringLiteral("Form Chair"), QStringLiteral("https://shop.example/chair"),
                                  QStringLiteral("Form Chair. Oak. €240."));
    QVERIFY(insight);
    QCOMPARE(insight->summary, QStringLiteral("A shop page for a chair."));
    QCOMPARE(insight->keyPoints, (QStringList{"Oak frame", "Ships in a week"}));
    QCOMPARE(insight->category, QStringLiteral("furniture"));
    QCOMPARE(insight->entities.productName, std::optional<QString>(QStringLiteral("Form Chair")));
    QCOMPARE(insight->entities.price, std::optional<QString>(QStringLiteral("€ 240")));
    QVERIFY(!insight->entities.author && !insight->entities.publishDate);
    QCOMPARE(insight->suggestedTags, (QStringList{"Chair", "OAK"})); // not lower-cased here

    QCOMPARE(server.requestCount(), 1);
    const auto &request = server.requests().first();
    QCOMPARE(request.system(), QString::fromUtf8(kLinkInsightInstructions));
    QCOMPARE(request.user(), QStringLiteral("Title: Form Chair\nURL: https://shop.example/chair\nPage text:\n"
                                            "Form Chair. Oak. €240.")
                                 + LanguageModel::schemaNote(linkInsightSchema()));
    const json schema = request.body.at("response_format").at("json_schema").at("schema");
    QCOMPARE(schema.at("required").size(), size_t(5));
    QCOMPARE(schema.at("properties").at("keyPoints").at("maxItems").get<int>(), 4);
    QCOMPARE(schema.at("properties").at("suggestedTags").at("maxItems").get<int>(), 5);
    QCOMPARE(schema.at("properties").at("category").at("enum").size(), size_t(7));
    QCOMPARE(schema.at("properties").at("entities").at("properties").at("author").at("description").get<std::string>(),
             "Person who wrote an article or post, only if a byline names them; never a brand or shop");
}

void TestLanguageFeatures::pageTextIsCutAtCharacters()
{
    FakeModelServer server;
    server.setStanding(FakeModelServer::answer(insightAnswer()));
    useServer(server);
    const QString head = QStringLiteral("Page text:\n");
    auto sentPage = [&](int request) {
        const QString user = server.requests().at(request).user();
        const QString note = LanguageModel::schemaNote(linkInsightSchema());
        return user.mid(user.indexOf(head) + head.size()).chopped(note.size());
    };
    // Plain letters: 6001 in, 6000 out.
    QVERIFY(describe(QStringLiteral("t"), QStringLiteral("u"), QString(6001, QLatin1Char('x'))));
    QCOMPARE(sentPage(0), QString(6000, QLatin1Char('x')));
    // An accented letter written as two code points counts as one character.
    QString composed;
    for (int i = 0; i < 6001; ++i)
        composed += QStringLiteral("e\u0301");
    QVERIFY(describe(QStringLiteral("t"), QStringLiteral("u"), composed));
    QCOMPARE(sentPage(1), composed.left(12000));
    // Exactly 6000 is sent whole.
    QVERIFY(describe(QStringLiteral("t"), QStringLiteral("u"), QString(6000, QLatin1Char('y'))));
    QCOMPARE(sentPage(2), QString(6000, QLatin1Char('y')));
}

void TestLanguageFeatures::emptyPageTextAsksNothing()
{
    FakeModelServer server;
    server.setStanding(FakeModelServer::answer(insightAnswer()));
    useServer(server);
    QVERIFY(!describe(QStringLiteral("t"), QStringLiteral("https://a.example"), QString()));
    QTest::qWait(50);
    QCOMPARE(server.requestCount(), 0);
}

void TestLanguageFeatures::authorRule_data()
{
    QTest::addColumn<std::optional<QString>>("author");
    QTest::addColumn<QString>("url");
    QTest::addColumn<std::optional<QString>>("expected");
    using S = std::optional<QString>;
    QTest::newRow("in the address, other case") << S("Jane Doe") << "https://JANEDOE.example/post" << S();
    QTest::newRow("blanks removed before the test") << S("Studio North") << "https://studionorth.com" << S();
    QTest::newRow("not in the address") << S("Jane Doe") << "https://blog.example/post" << S("Jane Doe");
    QTest::newRow("absent stays absent") << S() << "https://blog.example" << S();
    QTest::newRow("kept exactly, blanks too") << S(" A  B ") << "https://x.example" << S(" A  B ");
}

void TestLanguageFeatures::authorRule()
{
    QFETCH(std::optional<QString>, author);
    QFETCH(QString, url);
    QFETCH(std::optional<QString>, expected);
    LinkInsight insight;
    insight.entities.author = author;
    QCOMPARE(applyAuthorRule(insight, url).entities.author, expected);

    // And through the whole call.
    FakeModelServer server;
    json answer = insightAnswer();
    answer["entities"]["author"] = author ? json(author->toStdString()) : json();
    server.enqueue(FakeModelServer::answer(answer));
    useServer(server);
    QCOMPARE(describe(QStringLiteral("t"), url, QStringLiteral("page"))->entities.author, expected);
}

void TestLanguageFeatures::malformedAnswersFallBack_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    auto content = [](json j) { return FakeModelServer::answer(j).body; };
    json noKeyPoints = insightAnswer();
    noKeyPoints.erase("keyPoints");
    json wrongType = insightAnswer();
    wrongType["keyPoints"] = "one, two";
    json badEntity = insightAnswer();
    badEntity["entities"]["price"] = 240;
    QTest::newRow("missing key") << content(noKeyPoints) << 200;
    QTest::newRow("wrong type") << content(wrongType) << 200;
    QTest::newRow("entity of wrong type") << content(badEntity) << 200;
    QTest::newRow("answer is a list") << content(json::array({1, 2})) << 200;
    QTest::newRow("prose") << FakeModelServer::answer(QByteArray("I think it is a chair.")).body << 200;
    QTest::newRow("server error") << content(insightAnswer()) << 500;
}

void TestLanguageFeatures::malformedAnswersFallBack()
{
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    FakeModelServer server;
    server.setStanding({status, body, false});
    useServer(server);
    QVERIFY(!describe(QStringLiteral("t"), QStringLiteral("u"), QStringLiteral("page")));
    QCOMPARE(tags(QStringLiteral("f.jpg"), {"L1", "L2"}, QString()), (QStringList{"L1", "L2"}));
    QVERIFY(!rules(QStringLiteral("anything")));
    // A server that failed is left to rest: the later calls fall back at once.
    QCOMPARE(server.requestCount(), status == 200 ? 3 : 1);
}

void TestLanguageFeatures::tagRequestAndAnswer()
{
    FakeModelServer server;
    server.enqueue(FakeModelServer::answer(json{{"tags", {"Chair", "MID-CENTURY", "İstanbul", "chair"}}}));
    useServer(server);
    const QString longText = QString(599, QLatin1Char('a')) + QStringLiteral("bc");
    const QStringList got = tags(QStringLiteral("Photo 1.jpg"), {"text", "bright"}, longText);
    QCOMPARE(got, (QStringList{"chair", "mid-century", QStringLiteral("i\u0307stanbul"), "chair"}));
    const auto &request = server.requests().first();
    QCOMPARE(request.system(), QString::fromUtf8(kTagSuggestionInstructions));
    QCOMPARE(request.user(), QStringLiteral("Filename: Photo 1.jpg\nDetected: text, bright\nText in the image: ")
                                 + QString(599, QLatin1Char('a')) + QStringLiteral("b")
                                 + LanguageModel::schemaNote(tagSuggestionSchema()));
    const json tagsSchema = request.body.at("response_format").at("json_schema").at("schema").at("properties").at("tags");
    QCOMPARE(tagsSchema.at("minItems").get<int>(), 3);
    QCOMPARE(tagsSchema.at("maxItems").get<int>(), 5);
}

void TestLanguageFeatures::generatedRules()
{
    FakeModelServer server;
    server.enqueue(FakeModelServer::answer(json{
        {"match", "any"},
        {"rules",
         {{{"type", "colourNear"}, {"value", "#C8A070"}},
          {{"type", "colour"}, {"value", "#ff0000"}},
          {{"type", "ColourNear"}, {"value", "#00ff00"}},
          {{"type", "openedAtLeast"}, {"value", "3"}}}}}));
    useServer(server);
    const auto result = rules(QStringLiteral("warm pictures I opened often"));
    QVERIFY(result);
    QCOMPARE(result->match, QStringLiteral("any"));
    QCOMPARE(result->rules.size(), 2);
    QCOMPARE(result->rules[0].kind, RuleDraft::Kind::ColourNear);
    QCOMPARE(result->rules[0].value, QStringLiteral("#C8A070"));
    QCOMPARE(result->rules[1].kind, RuleDraft::Kind::OpenedAtLeast);
    QVERIFY(!result->rules[0].id.isNull() && result->rules[0].id != result->rules[1].id);
    QVERIFY(result->rules[0].rule() == Rule::colourNear(QStringLiteral("#C8A070"), 30.0));

    const auto &request = server.requests().first();
    QCOMPARE(request.system(), QString::fromUtf8(kRuleGenerationInstructions));
    QCOMPARE(request.user(), QStringLiteral("warm pictures I opened often")
                                 + LanguageModel::schemaNote(generatedRulesSchema()));
    const json schema = request.body.at("response_format").at("json_schema").at("schema");
    QCOMPARE(schema.at("properties").at("rules").at("maxItems").get<int>(), 5);
    QCOMPARE(schema.at("properties").at("rules").at("items").at("properties").at("type").at("enum").at(8).get<std::string>(),
             "colourNear");
}

void TestLanguageFeatures::ruleDrafts_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("value");
    QTest::addColumn<std::optional<Rule>>("expected");
    using R = std::optional<Rule>;
    QTest::newRow("tags, blanks and empty pieces") << "tagsAny" << " Desk , ,oak " << R(Rule::tagsAny({"Desk", "oak"}));
    QTest::newRow("tags, lone comma") << "tagsAll" << "," << R();
    QTest::newRow("colour without sign") << "colourNear" << "c8a070" << R(Rule::colourNear("#c8a070", 30.0));
    QTest::newRow("colour of the self-check") << "colourNear" << "#C8A070" << R(Rule::colourNear("#C8A070", 30.0));
    QTest::newRow("colour, five digits") << "colourNear" << "#c8a07" << R();
    QTest::newRow("colour, not hex") << "colourNear" << "#c8a07g" << R();
    QTest::newRow("colour, signed") << "colourNear" << "#-8a070" << R();
    QTest::newRow("kind in capitals") << "kind" << "Image" << R(Rule::kind("image"));
    QTest::newRow("kind, other word") << "kind" << "photo" << R();
    QTest::newRow("days, trailing blank") << "addedWithinDays" << "7 " << R(Rule::addedWithinDays(7));
    QTest::newRow("days in words") << "addedWithinDays" << "seven" << R();
    QTest::newRow("count") << "openedAtLeast" << "\t2" << R(Rule::openedAtLeast(2));
    QTest::newRow("no tags, any text") << "noTags" << "whatever" << R(Rule::noTags());
    QTest::newRow("text") << "textContains" << " pricing page " << R(Rule::textContains("pricing page"));
    QTest::newRow("empty text") << "labelContains" << "  " << R();
    QTest::newRow("domain") << "domainIs" << "example.com" << R(Rule::domainIs("example.com"));
}

void TestLanguageFeatures::ruleDrafts()
{
    QFETCH(QString, kind);
    QFETCH(QString, value);
    QFETCH(std::optional<Rule>, expected);
    const auto k = RuleDraft::kindFromRawValue(kind);
    QVERIFY(k);
    QCOMPARE(RuleDraft::rawValue(*k), kind);
    const RuleDraft draft{QUuid::createUuid(), *k, value};
    const std::optional<Rule> rule = draft.rule();
    QCOMPARE(rule.has_value(), expected.has_value());
    if (expected) {
        QVERIFY2(*rule == *expected, qPrintable(rule->summary()));
        QCOMPARE(rule->tolerance, expected->tolerance);
        QCOMPARE(rule->text, expected->text);
    }
}

void TestLanguageFeatures::draftsFromRules()
{
    QCOMPARE(RuleDraft::allKinds().size(), 10);
    for (const QString &bad : {"", "colour", "ColourNear", "tagsany", " kind"})
        QVERIFY(!RuleDraft::kindFromRawValue(bad));
    const QList<Rule> rules = {Rule::kind("link"),       Rule::tagsAny({"a", "B"}),      Rule::tagsAll({"x"}),
                               Rule::noTags(),           Rule::labelContains("chair"), Rule::textContains("oak"),
                               Rule::domainIs("a.com"), Rule::addedWithinDays(3),       Rule::openedAtLeast(0),
                               Rule::colourNear("#102030", 12.0)};
    for (const Rule &rule : rules) {
        const RuleDraft draft = RuleDraft::fromRule(rule);
        const Rule back = *draft.rule();
        if (rule.ruleCase == Rule::Case::ColourNear)
            QVERIFY(back == Rule::colourNear("#102030", 30.0));
        else
            QVERIFY2(back == rule, qPrintable(rule.summary()));
    }
    QCOMPARE(RuleDraft::fromRule(Rule::tagsAny({"a", "B"})).value, QStringLiteral("a, B"));
}

QTEST_MAIN(TestLanguageFeatures)
#include "tst_languagefeatures.moc"
