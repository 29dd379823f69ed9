// The status window as a person sees it: 320 × 120, one line, for both
// outcomes (offscreen, saved as pictures beside the test's home).

#include "ShareDrops.h"
#include "StatusView.h"

#include <QDir>
#include <QLabel>
#include <QTest>

class ShareStatusTest : public QObject {
    Q_OBJECT
private slots:
    void statusWindow_data()
    {
        QTest::addColumn<int>("written");
        QTest::addColumn<QString>("line");
        QTest::newRow("added") << 2 << "Added to Vellora";
        QTest::newRow("not added") << 0 << "Couldn't add to Vellora";
    }
    void statusWindow()
    {
        QFETCH(int, written);
        QFETCH(QString, line);
        vshare::ShareResult result;
        result.written = written;
        QCOMPARE(vshare::statusLine(result), line);
        vshare::StatusView view(vshare::statusLine(result), written > 0);
        view.show();
        QCOMPARE(view.size(), QSize(320, 120));
        QCOMPARE(view.findChild<QLabel *>("status")->text(), line);
        const QImage shot = view.grab().toImage();
        const QString home = qEnvironmentVariable("VELLORA_TEST_HOME", QDir::currentPath());
        QDir().mkpath(home + "/screenshots");
        shot.save(home + "/screenshots/share-" + QString(QTest::currentDataTag()).replace(' ', '-') + ".png");
        // The line is drawn: the middle row holds more than the background.
        QSet<QRgb> colours;
        for (int x = 0; x < shot.width(); ++x)
            colours.insert(shot.pixel(x, shot.height() / 2));
        QVERIFY(colours.size() > 3);
    }
};

QTEST_MAIN(ShareStatusTest)
#include "tst_sharestatus.moc"
