// The language model's rest after a failure, as a person meets it: Settings
// names the model, says that it rests, and a good answer to Test ends the
// rest; search and "Describe it…" say that they wait.
#include "FakeModelServer.h"
#include "PanelFixtures.h"

#include "enrichment/LanguageFeatures.h"
#include "platform/LanguageModel.h"
#include "views/HeaderBar.h"
#include "views/SettingsView.h"
#include "views/SmartFolderEditor.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

using namespace vellora;

namespace {

FakeModelServer::Reply tagsReply()
{
    return FakeModelServer::answer(nlohmann::json{{"tags", {"Sea", "blue", "calm"}}});
}

// Asks for tags once and waits for the answer.
std::optional<QStringList> askForTags()
{
    std::optional<std::optional<QStringList>> answer;
    suggestTagsIfAnswered(QStringLiteral("a.png"), {QStringLiteral("sea")}, QString(),
                          [&answer](std::optional<QStringList> tags) { answer = std::move(tags); });
    if (!QTest::qWaitFor([&answer] { return answer.has_value(); }, 10000))
        return std::nullopt;
    return *answer;
}

} // namespace

class TestModelRest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void modelNameTravelsWithEveryRequest();
    void restIsShownAndAGoodTestEndsIt();
    void anAnswerEndsTheRest();
};

void TestModelRest::init()
{
    LanguageModel::endAllRests();
    for (const char *key : {kLanguageModelURLKey, kLanguageModelNameKey})
        Defaults::standard().remove(QString::fromLatin1(key));
}

void TestModelRest::cleanup() { init(); }

void TestModelRest::modelNameTravelsWithEveryRequest()
{
    FakeModelServer server;
    server.setStanding(tagsReply());
    paneltest::Library lib(paneltest::document({paneltest::board("B1", "Inbox")}, {}));
    SettingsView view(*lib.store);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    QTest::keyClicks(view.modelField(), server.url().toString());
    QTest::keyClick(view.modelField(), Qt::Key_Return);
    QTest::keyClicks(view.modelNameField(), QStringLiteral("qwen2.5-3b"));
    QTest::keyClick(view.modelNameField(), Qt::Key_Return);
    QCOMPARE(Defaults::standard().string(QString::fromLatin1(kLanguageModelNameKey)), QStringLiteral("qwen2.5-3b"));

    QCOMPARE(askForTags(), std::optional<QStringList>(QStringList{"sea", "blue", "calm"}));
    QCOMPARE(server.requestCount(), 1);
    QCOMPARE(QString::fromStdString(server.requests().first().body.at("model").get<std::string>()),
             QStringLiteral("qwen2.5-3b"));
    // A new window shows what was stored.
    SettingsView again(*lib.store);
    QCOMPARE(again.modelNameField()->text(), QStringLiteral("qwen2.5-3b"));
}

void TestModelRest::restIsShownAndAGoodTestEndsIt()
{
    FakeModelServer server;
    server.enqueue({500, QByteArrayLiteral("{}"), false});
    server.setStanding(tagsReply());
    Defaults::standard().set(QString::fromLatin1(kLanguageModelURLKey), server.url().toString());
    paneltest::Library lib(paneltest::document({paneltest::board("B1", "Inbox")}, {},
                                               {SmartFolder{"S1", "Blue", "all", {}}}));
    SettingsView view(*lib.store);
    view.resize(620, 900);
    view.show();
    HeaderBar header(nullptr);
    SmartFolderEditor editor(*lib.store, lib.store->smartFolders().first());
    QVERIFY(view.restLabel()->isHidden());
    QVERIFY(editor.describeField()->isEnabled());
    QVERIFY(header.searchField()->toolTip().isEmpty());

    // A request fails: the model rests, and every place that uses it says so.
    QCOMPARE(askForTags(), std::optional<QStringList>());
    QVERIFY(LanguageModel::systemDefault().isResting());
    QTRY_VERIFY(!view.restLabel()->isHidden());
    QVERIFY(view.restLabel()->text().contains(QStringLiteral("did not answer")));
    QTRY_VERIFY(!editor.describeField()->isEnabled());
    QCOMPARE(editor.describeField()->placeholderText(), view.restLabel()->text());
    QCOMPARE(header.searchField()->toolTip(), view.restLabel()->text());
    QCOMPARE(header.searchField()->placeholderText(), QStringLiteral("Search without the language model"));
    paneltest::shoot(view, QStringLiteral("settings-model-resting"));
    // Nothing goes out while it rests.
    QCOMPARE(askForTags(), std::optional<QStringList>());
    QCOMPARE(server.requestCount(), 1);

    // Settings ▸ Test gets an answer: the rest is over.
    QSignalSpy tested(&view, &SettingsView::testFinished);
    QTest::mouseClick(view.testButton(), Qt::LeftButton);
    QTRY_COMPARE(tested.size(), 1);
    QVERIFY(!LanguageModel::systemDefault().isResting());
    QTRY_VERIFY(view.restLabel()->isHidden());
    QTRY_VERIFY(editor.describeField()->isEnabled());
    QCOMPARE(header.searchField()->placeholderText(), QStringLiteral("Search"));
    QCOMPARE(askForTags(), std::optional<QStringList>(QStringList{"sea", "blue", "calm"}));
}

void TestModelRest::anAnswerEndsTheRest()
{
    // Two requests in flight; the first fails, the second is answered.
    FakeModelServer server;
    server.enqueue({500, QByteArrayLiteral("{}"), false});
    server.setStanding(tagsReply());
    Defaults::standard().set(QString::fromLatin1(kLanguageModelURLKey), server.url().toString());
    std::optional<QStringList> first, second;
    int answers = 0;
    suggestTagsIfAnswered(QStringLiteral("a.png"), {}, QString(), [&](std::optional<QStringList> t) {
        first = t;
        ++answers;
    });
    suggestTagsIfAnswered(QStringLiteral("b.png"), {}, QString(), [&](std::optional<QStringList> t) {
        second = t;
        ++answers;
    });
    QTRY_COMPARE_WITH_TIMEOUT(answers, 2, 10000);
    QVERIFY(first.has_value() != second.has_value());
    QVERIFY(!LanguageModel::systemDefault().isResting());
}

QTEST_MAIN(TestModelRest)
#include "tst_modelrest.moc"
