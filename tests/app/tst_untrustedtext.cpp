// Text that came from a page, the language model, text recognition, another
// person's shared record or a file name shows as the characters it holds in
// every place of the real main window that shows it: never as a heading, a
// picture, a link or a mnemonic.
#include "FakeModelServer.h"
#include "MarkupFixture.h"
#include "ShownText.h"
#include "StatusView.h"

#include "library/SmartFolder.h"
#include "platform/LanguageModel.h"
#include "sharing/SharingMenu.h"
#include "update/Updater.h"
#include "views/LoadErrorBanner.h"
#include "views/PageTitle.h"
#include "views/Sidebar.h"
#include "views/SmartFolderEditor.h"
#include "views/UpdateBanner.h"

#include <QCheckBox>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QToolTip>

#include <functional>

using namespace vellora;
using markup::Fixture;

namespace {

struct Place {
    const char *name;
    QString section;        // shown in the window
    QString picked;         // tile Ctrl-clicked first, if any
    QString text;           // what must read literally there
    std::function<bool(Fixture &, const QString &)> shows;
    std::function<void(Fixture &)> bring = {}; // brings the text there, once the window is shown
};

bool inspectorShows(Fixture &f, const QString &text) { return shown::someLabelShows(f.window->inspector(), text); }

// The update feed offers a release whose version is `version`.
void offerRelease(const QString &version)
{
    static auto *feed = new LoopbackHttpServer;
    feed->set("/appcast.json", {.contentType = "application/json",
                                .body = QJsonDocument(QJsonObject{{QStringLiteral("version"), version},
                                                                  {QStringLiteral("build"), 999999999},
                                                                  {QStringLiteral("url"), QStringLiteral("http://127.0.0.1:1/x")},
                                                                  {QStringLiteral("sha256"), QStringLiteral("00")}})
                                            .toJson()});
    Defaults::standard().set(QStringLiteral("VELLORA_APPCAST_URL"), feed->url(QStringLiteral("/appcast.json")));
    bool checked = false;
    Updater::shared().check(true, [&] { checked = true; });
    QTRY_VERIFY(checked);
}

QLabel *updateBannerText(Fixture &f)
{
    auto *banner = f.window->findChild<UpdateBanner *>();
    return banner && banner->isVisible() ? banner->findChild<QLabel *>(QStringLiteral("updateBannerText")) : nullptr;
}

// The tool tip `widget` shows, read as a person reads it.
QString toolTipOf(QWidget *widget)
{
    const QPoint at = widget->rect().center();
    QHelpEvent help(QEvent::ToolTip, at, widget->mapToGlobal(at));
    QApplication::sendEvent(widget, &help);
    QLabel *tip = shown::toolTipLabel();
    const QString text = tip ? shown::labelText(tip) : QString();
    QToolTip::hideText();
    return text;
}

// Triggers the entry of File ▸ Sharing that reads `text`.
void chooseSharingEntry(Fixture &f, const QString &text)
{
    QMenu *menu = f.window->action(QStringLiteral("sharing"))->menu();
    emit menu->aboutToShow();
    for (QAction *action : menu->actions())
        if (action->text() == text)
            return action->trigger();
    QFAIL(qPrintable(QStringLiteral("no entry ") + text));
}

template <typename T>
T *shownWindow()
{
    for (QWidget *widget : QApplication::topLevelWidgets())
        if (auto *found = qobject_cast<T *>(widget); found && found->isVisible())
            return found;
    return nullptr;
}

// Some label of the window `T` shows `words` among its text, and every one
// of its labels reads as the characters it holds.
template <typename T>
bool windowShowsWithin(const QString &words)
{
    T *window = shownWindow<T>();
    if (!window)
        return false;
    bool found = false;
    for (const QLabel *label : window->template findChildren<QLabel *>()) {
        if (shown::labelText(label) != label->text())
            return false;
        found = found || (label->isVisible() && label->text().contains(words));
    }
    return found;
}

const QList<Place> &places()
{
    using namespace markup;
    static const QList<Place> list = {
        {"inspector: page title", "all", "L", kPageTitle, inspectorShows},
        {"inspector: site name", "all", "L", kSiteName, inspectorShows},
        {"inspector: insight summary", "all", "L", kSummary, inspectorShows},
        {"inspector: insight point", "all", "L", QStringLiteral("•  ") + kPoint, inspectorShows},
        {"inspector: insight category", "all", "L", kCategory, inspectorShows},
        {"inspector: insight author", "all", "L", QStringLiteral("Author: ") + kAuthor, inspectorShows},
        {"inspector: page text", "all", "L", kPageText,
         [](Fixture &f, const QString &text) {
             return f.window->inspector()->textView() && shown::labelText(f.window->inspector()->textView()) == text;
         }},
        {"inspector: file name", "all", "P", kFileName, inspectorShows},
        {"inspector: recognised text", "all", "P", kRecognised,
         [](Fixture &f, const QString &text) {
             return f.window->inspector()->textView() && shown::labelText(f.window->inspector()->textView()) == text;
         }},
        {"inspector: collection check box", "all", "L", kBoardName,
         [](Fixture &f, const QString &text) {
             QCheckBox *box = f.window->inspector()->collectionBox(QStringLiteral("B2"));
             return box && shown::titleText(box->text()) == text;
         }},
        {"inspector: collection heading", "B2", "", kBoardName,
         [](Fixture &f, const QString &text) {
             return shown::labelText(f.window->inspector()->sectionTitleLabel()) == text;
         }},
        {"inspector: smart folder's rules", "S1", "",
         SmartFolder{"S1", kSmartName, "all", {Rule::textContains(kRuleText)}}.summary(), inspectorShows},
        {"page heading: collection name", "B2", "", kBoardName,
         [](Fixture &f, const QString &text) { return shown::someLabelShows(f.window->pageTitle(), text); }},
        {"page heading: smart folder name", "S1", "", kSmartName,
         [](Fixture &f, const QString &text) { return shown::someLabelShows(f.window->pageTitle(), text); }},
        {"grid: tile title", "all", "", kPageTitle,
         [](Fixture &f, const QString &text) {
             for (const auto &tile : f.gridView()->items())
                 if (tile.id == QLatin1String("L"))
                     return tile.title == text;
             return false;
         }},
        {"sidebar: row tool tip", "all", "", kBoardName,
         [](Fixture &f, const QString &text) {
             Sidebar *sidebar = f.window->sidebar();
             const QPoint at = sidebar->rowRect(QStringLiteral("B2")).center();
             QHelpEvent help(QEvent::ToolTip, at, sidebar->mapToGlobal(at));
             QApplication::sendEvent(sidebar, &help);
             QLabel *tip = shown::toolTipLabel();
             const bool literal = tip && shown::labelText(tip) == text;
             QToolTip::hideText();
             return literal;
         }},
        {"selection bar: Move to… entry", "all", "L", kBoardName,
         [](Fixture &f, const QString &text) {
             QPushButton *move = f.window->selectionBar()->button(QStringLiteral("Move to…"));
             if (!move || !move->menu())
                 return false;
             for (QAction *action : move->menu()->actions())
                 if (shown::titleText(action->text()) == text)
                     return true;
             return false;
         }},
        {"settings: library folder", "all", "", QString(),
         [](Fixture &f, const QString &) {
             // The folder's name is the user's, from the file system.
             return f.store->root().contains(QLatin1String("<b>"))
                 && shown::someLabelShows(f.window->settingsWindow(), f.store->root());
         }},
        // The update feed's words.
        {"update banner: release", "all", "", QStringLiteral("Vellora ") + kSiteName + QStringLiteral(" is available"),
         [](Fixture &f, const QString &text) {
             // On one line or two.
             QLabel *label = updateBannerText(f);
             return label && shown::labelText(label).replace(QLatin1Char('\n'), QLatin1Char(' ')) == text;
         },
         [](Fixture &) { offerRelease(kSiteName); }},
        {"update banner: tool tip of a long release name", "all", "",
         QStringLiteral("Vellora ") + kPageTitle + QStringLiteral(" is available"),
         [](Fixture &f, const QString &text) {
             QLabel *label = updateBannerText(f);
             return label && shown::labelText(label) == label->text() && label->text() != text
                 && toolTipOf(label) == text;
         },
         [](Fixture &) { offerRelease(kPageTitle); }},
        // The file system's words: a library folder whose name is markup
        // and whose library.json is damaged.
        {"load-error banner", "all", "", QStringLiteral("<h1>Damaged</h1>"),
         [](Fixture &f, const QString &text) {
             LoadErrorBanner *banner = f.window->loadErrorBanner();
             return banner->isVisible() && banner->message().contains(text)
                 && shown::someLabelShows(banner, banner->message());
         },
         [](Fixture &f) {
             const QString root = f.dir.filePath(QStringLiteral("<h1>Damaged</h1>"));
             QDir().mkpath(root);
             QFile file(root + QStringLiteral("/library.json"));
             QVERIFY(file.open(QIODevice::WriteOnly));
             file.write("{\"collections\": \"<h1>Big</h1>\"");
             file.close();
             f.store->reopen(root);
         }},
        // The language model's words: an answer of markup gives no rules.
        {"smart folder editor: describe status", "all", "",
         QStringLiteral("The language model found no rules in that description."),
         [](Fixture &f, const QString &text) {
             auto *editor = qobject_cast<SmartFolderEditor *>(f.window->smartFolderSheet());
             return editor && editor->describeStatus()->isVisible()
                 && editor->describeStatus()->textFormat() == Qt::PlainText
                 && shown::labelText(editor->describeStatus()) == text;
         },
         [](Fixture &f) {
             static auto *model = new FakeModelServer;
             model->setStanding(FakeModelServer::answer(nlohmann::json{
                 {"match", kSummary.toStdString()},
                 {"rules", {{{"type", kPageTitle.toStdString()}, {"value", kRuleText.toStdString()}}}}}));
             Defaults::standard().set(QString::fromLatin1(kLanguageModelURLKey), model->url().toString());
             LanguageModel::endAllRests();
             f.window->action(QStringLiteral("newSmartFolder"))->trigger();
             QTRY_VERIFY(f.window->smartFolderSheet());
             auto *editor = qobject_cast<SmartFolderEditor *>(f.window->smartFolderSheet());
             QVERIFY(editor && editor->describeField()->isVisible());
             QTest::keyClicks(editor->describeField(), kBoardName);
             QTest::keyClick(editor->describeField(), Qt::Key_Return);
         }},
        // The sharing service's words.
        {"sharing dialog: status line", "B2", "", kServerWords,
         [](Fixture &, const QString &text) { return windowShowsWithin<ManageSharingDialog>(text); },
         [](Fixture &f) {
             QVERIFY(f.store->updateCollection(QStringLiteral("B2"), [](Board &board) { board.zone = QStringLiteral("zone-B2"); }));
             chooseSharingEntry(f, QStringLiteral("Manage Sharing…"));
             QTRY_VERIFY(shownWindow<ManageSharingDialog>() && shownWindow<ManageSharingDialog>()->isEnabled());
             auto *dialog = shownWindow<ManageSharingDialog>();
             // Inviting someone changes the share, which the service refuses.
             for (QLineEdit *edit : dialog->findChildren<QLineEdit *>())
                 if (edit->placeholderText() == QLatin1String("User name"))
                     QTest::keyClicks(edit, QStringLiteral("friend"));
             for (QPushButton *button : dialog->findChildren<QPushButton *>())
                 if (button->text() == QLatin1String("Invite"))
                     QTest::mouseClick(button, Qt::LeftButton);
         }},
        {"accept invitation: problem line", "all", "", kServerWords,
         [](Fixture &, const QString &text) { return windowShowsWithin<AcceptInvitationDialog>(text); },
         [](Fixture &f) {
             chooseSharingEntry(f, QStringLiteral("Accept Invitation…"));
             QTRY_VERIFY(shownWindow<AcceptInvitationDialog>());
             auto *dialog = shownWindow<AcceptInvitationDialog>();
             QTest::keyClicks(dialog->findChild<QLineEdit *>(), f.service.url(QStringLiteral("/share/abc")));
             for (QPushButton *button : dialog->findChildren<QPushButton *>())
                 if (button->text() == QLatin1String("Accept"))
                     QTest::mouseClick(button, Qt::LeftButton);
         }},
        // The share program's status window shows the line it was started with.
        {"share program: status line", "all", "", kPageTitle,
         [](Fixture &, const QString &text) {
             vshare::StatusView view(text, false);
             const QLabel *line = view.findChild<QLabel *>(QStringLiteral("status"));
             return line && shown::labelText(line) == text;
         }},
    };
    return list;
}

} // namespace

class UntrustedTextTest : public QObject {
    Q_OBJECT

private slots:
    void showsLiterally_data()
    {
        QTest::addColumn<int>("place");
        for (int i = 0; i < places().size(); ++i)
            QTest::newRow(places()[i].name) << i;
    }
    void showsLiterally()
    {
        QFETCH(int, place);
        const Place &p = places()[place];
        Fixture f;
        f.state->setSelection(p.section);
        f.show();
        if (!p.picked.isEmpty())
            f.pick(p.picked);
        if (p.bring)
            p.bring(f);
        if (QTest::currentTestFailed())
            return;
        QTRY_VERIFY2(p.shows(f, p.text), qPrintable(QStringLiteral("not shown literally: ") + p.text));
        // Nothing anywhere in the window was taken for markup: every label
        // reads as the characters it holds.
        for (const QLabel *label : f.window->findChildren<QLabel *>())
            if (!label->inherits("QTipLabel")) // a tool tip is rich text by design
                QVERIFY2(shown::labelText(label) == label->text(), qPrintable(label->text()));
    }

    void cleanup()
    {
        // The next window starts without what this one was told.
        Updater::shared().setDismissed(true);
        Defaults::standard().remove(QString::fromLatin1(kLanguageModelURLKey));
        LanguageModel::endAllRests();
        for (QWidget *widget : QApplication::topLevelWidgets())
            if (qobject_cast<QDialog *>(widget))
                widget->close();
    }

    // A link shows the text its page holds, not what was recognised in the
    // picture of the page.
    void linkTextIsThePageText()
    {
        Fixture f;
        f.show();
        f.pick(QStringLiteral("L"));
        QTRY_VERIFY(f.window->inspector()->textView());
        QCOMPARE(shown::labelText(f.window->inspector()->textView()), markup::kPageText);
        QVERIFY(!shown::someLabelShows(f.window->inspector(), markup::kSnapshotText));

        // Without page text a link has no text section at all.
        f.store->updateItem(QStringLiteral("L"), [](Item &item) { item.pageText.reset(); });
        QTRY_VERIFY(!f.window->inspector()->textView());
        QVERIFY(!shown::someLabelShows(f.window->inspector(), markup::kSnapshotText));
    }
};

QTEST_MAIN(UntrustedTextTest)
#include "tst_untrustedtext.moc"
