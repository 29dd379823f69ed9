// The habits of the real main window that every desktop program shares: the
// standard Edit commands on the grid and on text fields, the keys the tile
// menu names, and one dark look for every menu and dialog it opens.
#include "MarkupFixture.h"
#include "ShownText.h"

#include "app/AboutBox.h"
#include "library/LibraryStoreMedia.h"
#include "views/CollectionContents.h"
#include "views/GridScreen.h"
#include "views/HeaderBar.h"
#include "views/WindowLook.h"

#include <QClipboard>
#include <QDialogButtonBox>
#include <QDirIterator>
#include <QFileDialog>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTimer>

#include <functional>

using namespace vellora;
using markup::Fixture;

namespace {

QStringList titles(QMenu *menu)
{
    QStringList out;
    for (QAction *action : menu->actions())
        out << (action->isSeparator() ? QStringLiteral("-") : action->text());
    return out;
}

// The mean lightness (0-255) of what a widget shows.
int meanLightness(const QImage &image)
{
    qint64 sum = 0, n = 0;
    for (int y = 0; y < image.height(); y += 2)
        for (int x = 0; x < image.width(); x += 2) {
            sum += image.pixelColor(x, y).lightness();
            ++n;
        }
    return n ? int(sum / n) : 255;
}

// Runs `open` (which blocks in a modal loop) and hands the modal widget it
// shows to `look` before closing it.
void whileModal(const std::function<void()> &open, const std::function<void(QWidget *)> &look)
{
    bool seen = false;
    auto poll = std::make_shared<std::function<void()>>();
    *poll = [&seen, &look, poll] {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible()) {
            QTimer::singleShot(20, *poll);
            return;
        }
        QTest::qWait(100);
        seen = true;
        look(modal);
        if (auto *dialog = qobject_cast<QDialog *>(modal))
            dialog->reject();
        else
            modal->close();
    };
    QTimer::singleShot(0, *poll);
    open();
    QVERIFY(seen);
}

QLineEdit *searchField(Fixture &f)
{
    for (QLineEdit *field : f.window->headerBar()->findChildren<QLineEdit *>())
        if (field->isVisible())
            return field;
    return nullptr;
}

QString shotsFolder() { return qEnvironmentVariable("VELLORA_SHOTS"); }

void shoot(QWidget *shown, const QString &name)
{
    if (shotsFolder().isEmpty())
        return;
    QTest::qWait(150);
    // The whole screen, so that a popup shows over the window it belongs to.
    QImage image = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
    if (image.isNull() || meanLightness(image) == 0)
        image = shown->grab().toImage();
    QVERIFY(image.save(shotsFolder() + QLatin1Char('/') + name));
}

} // namespace

class WindowHabitsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // What the application object does before its first window.
        applyWindowLook(*qApp);
    }

    void editMenuHoldsTheStandardCommands()
    {
        Fixture f;
        QMenu *edit = f.window->menu(QStringLiteral("Edit"));
        QVERIFY(edit);
        QCOMPARE(titles(edit), (QStringList{"Cut", "Copy", "Paste", "Select All", "-", "Find"}));
        const QList<std::pair<QString, QKeySequence::StandardKey>> keys = {
            {"cut", QKeySequence::Cut}, {"copy", QKeySequence::Copy},
            {"paste", QKeySequence::Paste}, {"selectAll", QKeySequence::SelectAll}};
        for (qsizetype i = 0; i < keys.size(); ++i) {
            QCOMPARE(f.window->action(keys[i].first), edit->actions().at(i));
            QCOMPARE(f.window->action(keys[i].first)->shortcut(), QKeySequence(keys[i].second));
        }
    }

    void selectAllPicksEveryTile_data()
    {
        QTest::addColumn<bool>("byKey");
        QTest::newRow("Ctrl+A on the grid") << true;
        QTest::newRow("Edit menu") << false;
    }
    void selectAllPicksEveryTile()
    {
        QFETCH(bool, byKey);
        Fixture f;
        f.show();
        QTRY_COMPARE(f.gridView()->items().size(), 2);
        f.gridView()->setFocus();
        if (byKey)
            QTest::keyClick(f.gridView()->viewport(), Qt::Key_A, Qt::ControlModifier);
        else
            f.window->action(QStringLiteral("selectAll"))->trigger();
        auto picked = [&] {
            const QStringList ids = f.state->selectedIds();
            return QSet<QString>(ids.begin(), ids.end());
        };
        QTRY_COMPARE(picked(), (QSet<QString>{"L", "P"}));
    }

    void copyPutsThePickedItemsOnTheClipboard()
    {
        Fixture f;
        QDir().mkpath(f.store->root() + QStringLiteral("/originals"));
        QImage original(40, 30, QImage::Format_RGB32);
        original.fill(Qt::darkCyan);
        QVERIFY(original.save(f.store->root() + QStringLiteral("/originals/P.png")));
        f.show();
        f.pick(QStringLiteral("L"));
        f.pick(QStringLiteral("P"));
        QApplication::clipboard()->clear();
        QSignalSpy copied(f.window->gridScreen(), &GridScreen::itemsCopied);
        QTest::keyClick(f.gridView()->viewport(), Qt::Key_C, Qt::ControlModifier);
        QTRY_COMPARE(copied.size(), 1);
        const QList<QUrl> urls = QApplication::clipboard()->mimeData()->urls();
        QCOMPARE(urls.size(), 2);
        QVERIFY(urls.contains(QUrl(QStringLiteral("https://shop.example/brief"))));
        QUrl file;
        for (const QUrl &url : urls)
            if (url.isLocalFile())
                file = url;
        QVERIFY(QFileInfo(file.toLocalFile()).isFile());
        QCOMPARE(QImage(file.toLocalFile()).size(), QSize(40, 30));
    }

    void pasteAddsThePictureToTheShownCollection()
    {
        Fixture f;
        f.state->setSelection(QStringLiteral("B2"));
        f.show();
        QTRY_COMPARE(f.gridView()->items().size(), 1);
        QImage picture(64, 48, QImage::Format_RGB32);
        picture.fill(QColor(250, 200, 30));
        auto *data = new QMimeData;
        data->setImageData(picture);
        QApplication::clipboard()->setMimeData(data);
        QSignalSpy pasted(f.window->gridScreen(), &GridScreen::pasteFinished);
        f.window->action(QStringLiteral("paste"))->trigger();
        QTRY_COMPARE(pasted.size(), 1);
        QCOMPARE(pasted.first().first().toInt(), 1);
        QTRY_COMPARE(f.gridView()->items().size(), 2);
        int inBoard = 0;
        for (const Item &item : f.store->items())
            inBoard += item.collectionIds.contains(QStringLiteral("B2"));
        QCOMPARE(inBoard, 2);
    }

    // With the search field focused the commands edit its text, and the grid
    // is left alone.
    void commandsEditTheFocusedField_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("clipboardBefore");
        QTest::addColumn<QString>("fieldAfter");
        QTest::addColumn<QString>("clipboardAfter");
        QTest::newRow("cut") << "cut" << "old" << "" << "warm";
        QTest::newRow("copy") << "copy" << "old" << "warm" << "warm";
        QTest::newRow("paste") << "paste" << "tones" << "tones" << "tones";
        QTest::newRow("select all") << "selectAll" << "old" << "warm" << "old";
    }
    void commandsEditTheFocusedField()
    {
        QFETCH(QString, command);
        QFETCH(QString, clipboardBefore);
        QFETCH(QString, fieldAfter);
        QFETCH(QString, clipboardAfter);
        Fixture f;
        f.show();
        QTRY_COMPARE(f.gridView()->items().size(), 2);
        QTest::keyClick(f.window.get(), Qt::Key_F, Qt::ControlModifier);
        QTRY_VERIFY(searchField(f));
        QLineEdit *field = searchField(f);
        QTRY_VERIFY(field->hasFocus());
        QTest::keyClicks(field, QStringLiteral("warm"));
        field->selectAll();
        QApplication::clipboard()->setText(clipboardBefore);
        const qsizetype itemsBefore = f.store->items().size();
        f.window->action(command)->trigger();
        QCOMPARE(field->text(), fieldAfter);
        QCOMPARE(QApplication::clipboard()->text(), clipboardAfter);
        if (command == QLatin1String("selectAll"))
            QCOMPARE(field->selectedText(), QStringLiteral("warm"));
        QVERIFY(f.state->selectedIds().isEmpty());
        QTest::qWait(100);
        QCOMPARE(f.store->items().size(), itemsBefore);
    }

    void tileMenuShowsItsKeys_data()
    {
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QKeySequence>("key");
        QTest::newRow("quick look") << "all" << "quickLook" << "Quick Look" << QKeySequence(Qt::Key_Space);
        QTest::newRow("move to trash") << "all" << "delete" << "Move to Trash" << QKeySequence(Qt::Key_Delete);
        QTest::newRow("delete permanently") << "trash" << "delete" << "Delete Permanently…"
                                            << QKeySequence(Qt::Key_Delete);
    }
    void tileMenuShowsItsKeys()
    {
        QFETCH(QString, section);
        QFETCH(QString, name);
        QFETCH(QString, title);
        QFETCH(QKeySequence, key);
        Fixture f;
        if (section == QLatin1String("trash"))
            f.store->trash({QStringLiteral("L")});
        f.state->setSelection(section);
        f.show();
        QTRY_VERIFY(f.gridView()->engine().indexOf(QStringLiteral("L")) >= 0);
        std::unique_ptr<QMenu> menu(f.window->gridScreen()->tileMenu(QStringLiteral("L"), f.window.get()));
        QAction *action = menu->findChild<QAction *>(name, Qt::FindDirectChildrenOnly);
        QVERIFY(action);
        QCOMPARE(action->text(), title);
        QCOMPARE(action->shortcut(), key);
        QVERIFY(action->isShortcutVisibleInContextMenu());
    }

    // Every popup and dialog the window opens sits on the window's dark
    // grey, with light text.
    void popupsAndDialogsAreDark_data()
    {
        QTest::addColumn<QString>("what");
        QTest::newRow("tile menu") << "tile menu";
        QTest::newRow("Move to… menu") << "move menu";
        QTest::newRow("Edit menu") << "edit menu";
        QTest::newRow("About box") << "about";
        QTest::newRow("delete confirmation") << "delete";
        QTest::newRow("import file dialog") << "import";
    }
    void popupsAndDialogsAreDark()
    {
        QFETCH(QString, what);
        Fixture f;
        f.show();
        QTRY_COMPARE(f.gridView()->items().size(), 2);
        auto check = [](QWidget *shown) {
            QVERIFY(shown);
            QVERIFY2(meanLightness(shown->grab().toImage()) < 90, qPrintable(shown->metaObject()->className()));
            QVERIFY(shown->palette().color(QPalette::WindowText).lightness() > 180);
        };
        auto checkMenu = [&](QMenu *menu) {
            menu->popup(f.window->mapToGlobal(QPoint(200, 200)));
            QTRY_VERIFY(menu->isVisible());
            check(menu);
            menu->hide();
        };
        if (what == QLatin1String("tile menu")) {
            std::unique_ptr<QMenu> menu(f.window->gridScreen()->tileMenu(QStringLiteral("L"), f.window.get()));
            checkMenu(menu.get());
        } else if (what == QLatin1String("move menu")) {
            f.pick(QStringLiteral("L"));
            QPushButton *move = f.window->selectionBar()->button(QStringLiteral("Move to…"));
            QVERIFY(move && move->menu());
            checkMenu(move->menu());
        } else if (what == QLatin1String("edit menu")) {
            checkMenu(f.window->menu(QStringLiteral("Edit")));
        } else if (what == QLatin1String("about")) {
            whileModal([&] { f.window->showAbout(); }, check);
        } else if (what == QLatin1String("delete")) {
            whileModal([&] { confirmDeletePermanently({QStringLiteral("L")}, *f.store, f.window.get()); },
                       [&](QWidget *modal) {
                           check(modal);
                           QVERIFY(qobject_cast<QMessageBox *>(modal));
                       });
            QVERIFY(f.store->item(QStringLiteral("L")));
        } else if (what == QLatin1String("import")) {
            whileModal([&] { f.window->chooseFiles(f.window.get()); },
                       [&](QWidget *modal) {
                           check(modal);
                           // Qt's own dialog, not the desktop's, which keeps its light look.
                           auto *dialog = qobject_cast<QFileDialog *>(modal);
                           QVERIFY(dialog);
                           QVERIFY(dialog->findChild<QDialogButtonBox *>()->isVisible());
                       });
        }
    }

    void aboutBoxFitsWhatItSays()
    {
        Fixture f;
        f.show();
        AboutBox box(f.window.get());
        box.show();
        QVERIFY(QTest::qWaitForWindowExposed(&box));
        QCOMPARE(shown::labelText(box.nameLabel()), QStringLiteral("Vellora"));
        QVERIFY(box.versionLabel()->text().startsWith(QStringLiteral("Vellora ")));
        for (QLabel *label : {box.nameLabel(), box.versionLabel()})
            QVERIFY2(label->width() >= label->sizeHint().width(), qPrintable(label->text()));
        // The title bar has room for "About Vellora" beside its buttons.
        QVERIFY(box.width() >= box.fontMetrics().horizontalAdvance(box.windowTitle()) + 100);
        QVERIFY(box.height() >= box.sizeHint().height());
    }

    // Pictures of the states above, on a library of real pictures, when
    // VELLORA_SHOTS names a folder.
    void screenshots()
    {
        if (shotsFolder().isEmpty())
            QSKIP("VELLORA_SHOTS is not set");
        Fixture f;
        QStringList pictures;
        QDirIterator it(QStringLiteral("/usr/share/backgrounds"), {"*.jpg", "*.png"}, QDir::Files,
                        QDirIterator::Subdirectories);
        while (it.hasNext() && pictures.size() < 30)
            pictures << it.next();
        importFiles(*f.store, pictures, QStringLiteral("B1"));
        QTRY_VERIFY_WITH_TIMEOUT(f.store->items().size() >= 2 + pictures.size(), 60000);
        f.window->resize(1300, 850);
        f.show();
        QTRY_VERIFY(f.gridView()->engine().indexOf(QStringLiteral("L")) >= 0);
        f.gridView()->scrollTo(QStringLiteral("L"));
        QTest::qWait(600);
        f.pick(QStringLiteral("L"));
        QTest::qWait(800);
        shoot(f.window.get(), QStringLiteral("inspector-markup-title.png"));

        std::unique_ptr<QMenu> tile(f.window->gridScreen()->tileMenu(QStringLiteral("L"), f.window.get()));
        tile->popup(f.window->mapToGlobal(f.centreOf(QStringLiteral("L")) + f.gridView()->mapTo(f.window.get(), QPoint())));
        QTRY_VERIFY(tile->isVisible());
        shoot(tile.get(), QStringLiteral("tile-menu.png"));
        tile->hide();

        QPushButton *move = f.window->selectionBar()->button(QStringLiteral("Move to…"));
        if (move && move->menu()) {
            move->menu()->popup(move->mapToGlobal(QPoint(0, -move->menu()->sizeHint().height())));
            QTRY_VERIFY(move->menu()->isVisible());
            shoot(move->menu(), QStringLiteral("move-to-menu.png"));
            move->menu()->hide();
        }

        QMenu *edit = f.window->menu(QStringLiteral("Edit"));
        edit->popup(f.window->mapToGlobal(QPoint(40, f.window->menuBar()->height())));
        QTRY_VERIFY(edit->isVisible());
        shoot(edit, QStringLiteral("edit-menu.png"));
        edit->hide();

        whileModal([&] { f.window->showAbout(); }, [](QWidget *modal) { shoot(modal, QStringLiteral("about-box.png")); });
        whileModal([&] { confirmDeletePermanently({QStringLiteral("L"), QStringLiteral("P")}, *f.store, f.window.get()); },
                   [](QWidget *modal) { shoot(modal, QStringLiteral("delete-confirmation.png")); });
        whileModal([&] { f.window->chooseFiles(f.window.get()); },
                   [](QWidget *modal) {
                       modal->resize(760, 480);
                       shoot(modal, QStringLiteral("file-dialog.png"));
                   });
    }
};

QTEST_MAIN(WindowHabitsTest)
#include "tst_windowhabits.moc"
