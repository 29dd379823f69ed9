// The language model's rest after a failure, as a person meets it: Settings
// names the model, says that it rests, and a good answer to Test or another
// address or model name ends the rest; search, "Describe it…" and the
// inspector's tag suggestions say that they wait.
#include "FakeModelServer.h"
#include "PanelFixtures.h"
#include "WindowFixture.h"

#include "enrichment/LanguageFeatures.h"
#include "platform/LanguageModel.h"
#include "views/HeaderBar.h"
#include "views/Inspector.h"
#include "views/SettingsView.h"
#include "views/SmartFolderEditor.h"

#include "ZezevavEri/ScatterGridView.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
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

// The visible line of the inspector that says the model rests, if any.
QString shownRestNote(const Inspector *inspector)
{
    for (const QLabel *label : inspector->findChildren<QLabel *>())
        if (label->isVisible() && label->text().startsWith(QStringLiteral("The language model did not answer")))
            return label->text();
    return {};
}

// The real main window over a temporary library with the inspector shown;
// picture "A" has labels that are no tags yet.
struct ModelWindow : apptest::WindowFixture {
    ModelWindow()
    {
        store->updateItem(QStringLiteral("A"), [](Item &item) {
            item.labels = QStringList{QStringLiteral("sea"), QStringLiteral("boat")};
        });
        state->setSelection(QStringLiteral("all"));
        state->setInspectorVisible(true);
        window->resize(1100, 700);
    }

    Inspector *inspector() const { return window->inspector(); }

    // Ctrl-click, as a person picks a tile without opening it.
    void pick(const QString &id)
    {
        zezevaveri::ScatterGridView *grid = window->grid();
        QTRY_VERIFY(grid->engine().indexOf(id) >= 0
                    && grid->engine().frames().size() > size_t(grid->engine().indexOf(id)));
        const QRectF frame = grid->engine().frames().at(size_t(grid->engine().indexOf(id)));
        const QPoint at = frame.center().toPoint() - QPoint(0, grid->verticalScrollBar()->value());
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, Qt::ControlModifier, at);
        QTRY_VERIFY(state->selectedIds().contains(id));
        QTRY_VERIFY(inspector()->suggestButton());
    }

    // Settings, opened from the keyboard.
    SettingsView *openSettings()
    {
        QTest::keyClick(window.get(), Qt::Key_Comma, Qt::ControlModifier);
        QWidget *settings = window->settingsWindow();
        if (!QTest::qWaitFor([settings] { return settings->isVisible(); }))
            return nullptr;
        QApplication::setActiveWindow(settings);
        return settings->findChild<SettingsView *>();
    }

    // Suggest Tags, once the model's first request failed: it rests.
    void suggestIntoARest()
    {
        QVERIFY(inspector()->suggestButton()->isEnabled());
        QVERIFY(shownRestNote(inspector()).isEmpty());
        QTest::mouseClick(inspector()->suggestButton(), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(LanguageModel::systemDefault().isResting(), 10000);
        QTRY_VERIFY(inspector()->suggestButton() && inspector()->suggestButton()->text() == "Suggest Tags");
    }

    // Suggest Tags with the model answering: its own tags are offered.
    void suggestAnswered()
    {
        QTRY_VERIFY(inspector()->suggestButton()->isEnabled());
        QVERIFY(shownRestNote(inspector()).isEmpty());
        QTest::mouseClick(inspector()->suggestButton(), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(inspector()->suggestionCloud(), 10000);
        QCOMPARE(inspector()->suggestionCloud()->texts(), (QStringList{"sea", "blue", "calm"}));
    }
};

} // namespace

class TestModelRest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void modelNameTravelsWithEveryRequest();
    void restIsShownAndAGoodTestEndsIt();
    void anAnswerEndsTheRest();
    void inspectorSaysTheModelRests();
    void anotherModelEndsTheRest_data();
    void anotherModelEndsTheRest();
    void aFailedTestKeepsTheRest_data();
    void aFailedTestKeepsTheRest();
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

void TestModelRest::inspectorSaysTheModelRests()
{
    FakeModelServer server;
    server.enqueue({500, QByteArrayLiteral("{}"), false});
    server.setStanding(tagsReply());
    Defaults::standard().set(QString::fromLatin1(kLanguageModelURLKey), server.url().toString());
    ModelWindow f;
    f.show();
    f.pick(QStringLiteral("A"));
    f.suggestIntoARest();

    // The labels are not offered as if the model had suggested them; the
    // button waits and says why, in the words Settings uses.
    Inspector *inspector = f.inspector();
    QVERIFY(!inspector->suggestionCloud());
    QTRY_VERIFY(!inspector->suggestButton()->isEnabled());
    SettingsView *settings = f.openSettings();
    QVERIFY(settings);
    QTRY_VERIFY(!settings->restLabel()->isHidden());
    QTRY_COMPARE(shownRestNote(inspector), settings->restLabel()->text());
    QCOMPARE(inspector->suggestButton()->toolTip(), settings->restLabel()->text());
    QCOMPARE(f.window->headerBar()->searchField()->toolTip(), settings->restLabel()->text());
    paneltest::shoot(*f.window, QStringLiteral("inspector-model-resting"));
    QTest::mouseClick(inspector->suggestButton(), Qt::LeftButton);
    QCOMPARE(server.requestCount(), 1);

    // A good answer to Test: the inspector asks the model again.
    QSignalSpy tested(settings, &SettingsView::testFinished);
    QTest::mouseClick(settings->testButton(), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(tested.size(), 1, 10000);
    QApplication::setActiveWindow(f.window.get());
    f.suggestAnswered();
}

void TestModelRest::anotherModelEndsTheRest_data()
{
    QTest::addColumn<bool>("name"); // the model name field, or the address field
    QTest::addColumn<QString>("typed");
    QTest::newRow("a model name") << true << "qwen2.5-3b";
    // The same server, written out: it may have been started meanwhile.
    QTest::newRow("the address written anew") << false << "/v1";
}

void TestModelRest::anotherModelEndsTheRest()
{
    QFETCH(bool, name);
    QFETCH(QString, typed);
    FakeModelServer server;
    server.enqueue({500, QByteArrayLiteral("{}"), false});
    server.setStanding(tagsReply());
    Defaults::standard().set(QString::fromLatin1(kLanguageModelURLKey), server.url().toString());
    ModelWindow f;
    f.show();
    f.pick(QStringLiteral("A"));
    f.suggestIntoARest();
    SettingsView *settings = f.openSettings();
    QVERIFY(settings);
    QTRY_VERIFY(!settings->restLabel()->isHidden());

    QLineEdit *field = name ? settings->modelNameField() : settings->modelField();
    QTest::keyClick(field, Qt::Key_End);
    QTest::keyClicks(field, typed);
    QTest::keyClick(field, Qt::Key_Return);
    QTRY_VERIFY(settings->restLabel()->isHidden());
    QVERIFY(!LanguageModel::systemDefault().isResting());
    QTRY_COMPARE(f.window->headerBar()->searchField()->placeholderText(), QStringLiteral("Search"));
    QApplication::setActiveWindow(f.window.get());
    f.suggestAnswered();
    QCOMPARE(server.requestCount(), 2);
    if (name)
        QCOMPARE(QString::fromStdString(server.requests().last().body.at("model").get<std::string>()), typed);
}

void TestModelRest::aFailedTestKeepsTheRest_data()
{
    QTest::addColumn<int>("status");
    QTest::newRow("no models there") << 404;
    QTest::newRow("a key is needed") << 401;
}

void TestModelRest::aFailedTestKeepsTheRest()
{
    QFETCH(int, status);
    FakeModelServer server;
    server.enqueue({500, QByteArrayLiteral("{}"), false});
    server.enqueue({status, QByteArrayLiteral("{}"), false});
    server.setStanding(tagsReply());
    Defaults::standard().set(QString::fromLatin1(kLanguageModelURLKey), server.url().toString());
    ModelWindow f;
    f.show();
    f.pick(QStringLiteral("A"));
    f.suggestIntoARest();
    SettingsView *settings = f.openSettings();
    QVERIFY(settings);

    // Something speaks HTTP there, but it serves no model: the test says it
    // failed, and the rest goes on as the note says.
    QSignalSpy tested(settings, &SettingsView::testFinished);
    QTest::mouseClick(settings->testButton(), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(tested.size(), 1, 10000);
    QCOMPARE(server.requests().last().path, QByteArrayLiteral("/v1/models"));
    QCOMPARE(tested.at(0).at(0).toBool(), false);
    QCOMPARE(settings->testResult(), QStringLiteral("Test failed: the server answered HTTP %1.").arg(status));
    QCOMPARE(settings->testLabel()->text(), settings->testResult());
    QVERIFY(LanguageModel::systemDefault().isResting());
    QVERIFY(!settings->restLabel()->isHidden());
    QVERIFY(settings->restLabel()->text().contains(QStringLiteral("Test in Settings succeeds")));
    QVERIFY(!f.inspector()->suggestButton()->isEnabled());
}

QTEST_MAIN(TestModelRest)
#include "tst_modelrest.moc"
