// Text from outside, in each kind of place where Qt could take it for markup
// or mnemonics, shows as the characters it holds.
#include "ShownText.h"

#include "views/PlainText.h"

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <QToolTip>
#include <QWindow>
#include <QtTest>

using namespace vellora;

namespace {
const char *const kPageTitle = "<h1 style=\"font-size:60px\">Big</h1><img src=\"file:///usr/share/backgrounds/x.jpg\">";
}

class PlainTextTest : public QObject {
    Q_OBJECT

private:
    // Texts a page, the model or a file name could bring.
    static void outsideTexts()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("page title with a heading and a local picture") << QString::fromUtf8(kPageTitle);
        QTest::newRow("bold site name") << QStringLiteral("<b>Shop</b>");
        QTest::newRow("entities") << QStringLiteral("Tom &amp; Jerry &lt;3");
        QTest::newRow("comparison") << QStringLiteral("a < b & c > d");
        QTest::newRow("markup over lines") << QStringLiteral("<i>first</i>\nsecond line");
        QTest::newRow("link") << QStringLiteral("<a href=\"https://example.org\">click</a>");
        QTest::newRow("ordinary") << QStringLiteral("Warm tones");
    }

private slots:
    void labelShowsTheText_data() { outsideTexts(); }
    void labelShowsTheText()
    {
        QFETCH(QString, text);
        std::unique_ptr<QLabel> label(plainLabel(text));
        QCOMPARE(shown::labelText(label.get()), text);
        // Also after a later setText, as the views refresh their labels.
        label->setText(QStringLiteral("x"));
        label->setText(text);
        QCOMPARE(shown::labelText(label.get()), text);
    }

    void toolTipShowsTheText_data() { outsideTexts(); }
    void toolTipShowsTheText()
    {
        QFETCH(QString, text);
        QWidget owner;
        owner.resize(200, 100);
        owner.show();
        QVERIFY(QTest::qWaitForWindowExposed(&owner));
        QToolTip::showText(owner.mapToGlobal(QPoint(20, 20)), plainToolTip(text), &owner);
        QTRY_VERIFY(shown::toolTipLabel());
        QCOMPARE(shown::labelText(shown::toolTipLabel()), text);
        QToolTip::hideText();
        QTRY_VERIFY(!shown::toolTipLabel());
    }

    void messageBoxShowsTheText_data() { outsideTexts(); }
    void messageBoxShowsTheText()
    {
        QFETCH(QString, text);
        QMessageBox box;
        box.setText(text);
        box.setInformativeText(QStringLiteral("Because: ") + text);
        makePlain(box);
        auto *main = box.findChild<QLabel *>(QStringLiteral("qt_msgbox_label"));
        auto *informative = box.findChild<QLabel *>(QStringLiteral("qt_msgbox_informativelabel"));
        QVERIFY(main && informative);
        QCOMPARE(shown::labelText(main), text);
        QCOMPARE(shown::labelText(informative), QStringLiteral("Because: ") + text);
    }

    void warningShowsTheReason()
    {
        const QString reason = QString::fromUtf8(kPageTitle);
        QPointer<QMessageBox> seen;
        QString mainText;
        QTimer::singleShot(0, [&] {
            seen = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!seen)
                return;
            mainText = shown::labelText(seen->findChild<QLabel *>(QStringLiteral("qt_msgbox_label")));
            seen->accept();
        });
        warnPlainly(nullptr, QStringLiteral("Sharing"), QStringLiteral("Couldn't share the collection: ") + reason);
        QCOMPARE(mainText, QStringLiteral("Couldn't share the collection: ") + reason);
    }

    void entryTitleShowsTheText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        QTest::newRow("ampersand") << QStringLiteral("Tom & Jerry") << QStringLiteral("Tom & Jerry");
        QTest::newRow("two ampersands") << QStringLiteral("R&&D") << QStringLiteral("R&&D");
        QTest::newRow("letter after ampersand") << QStringLiteral("&Posters") << QStringLiteral("&Posters");
        QTest::newRow("trailing ampersand") << QStringLiteral("Salt &") << QStringLiteral("Salt &");
        // A tab would start the shortcut column; a line break has no room.
        QTest::newRow("tab") << QStringLiteral("Name\tCtrl+Q") << QStringLiteral("Name Ctrl+Q");
        QTest::newRow("line break") << QStringLiteral("two\nlines") << QStringLiteral("two lines");
        QTest::newRow("markup stays as written") << QStringLiteral("<b>Bold</b>") << QStringLiteral("<b>Bold</b>");
    }
    void entryTitleShowsTheText()
    {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QMenu menu;
        QAction *action = menu.addAction(actionText(text));
        QCOMPARE(shown::titleText(action->text()), expected);
        QVERIFY(!action->text().contains(QLatin1Char('\t')));
        // Qt's own reading of the title, as it strips the mnemonic marks.
        QCOMPARE(action->iconText(), expected);
        QCheckBox box(actionText(text));
        QCOMPARE(shown::titleText(box.text()), expected);
        QVERIFY(box.shortcut().isEmpty());
    }

    void windowTitleShowsTheText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("placeholder") << QStringLiteral("Manage Sharing: Board [*]");
        QTest::newRow("two placeholders") << QStringLiteral("[*][*]");
        QTest::newRow("markup") << QStringLiteral("Manage Sharing: <b>Board</b>");
        QTest::newRow("ordinary") << QStringLiteral("Manage Sharing: Posters");
    }
    void windowTitleShowsTheText()
    {
        QFETCH(QString, text);
        QWidget window;
        window.setWindowTitle(windowTitleText(text));
        window.winId();
        QCOMPARE(window.windowHandle()->title(), text);
    }
};

QTEST_MAIN(PlainTextTest)
#include "tst_plaintext.moc"
