// The banner and the settings section follow the updater: the offer, the
// download's progress, dismissal, and the time of the last check.

#include "FeedServer.h"

#include "platform/Defaults.h"
#include "platform/Digest.h"
#include "update/Updater.h"
#include "views/UpdateBanner.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

using namespace vellora;

namespace {

void save(QWidget &widget, const QString &name)
{
    QDir().mkpath(QStringLiteral(VELLORA_SCREENSHOTS));
    widget.grab().save(QStringLiteral(VELLORA_SCREENSHOTS "/") + name + QStringLiteral(".png"));
}

QPushButton *button(QWidget &root, const QString &text)
{
    for (QPushButton *candidate : root.findChildren<QPushButton *>()) {
        if (candidate->text() == text)
            return candidate;
    }
    return nullptr;
}

const char *const kOfferTemplate = R"({"version":"2.0","build":999999,"url":"%1","sha256":"%2"})";
const char *const kCurrentFeed = R"({"version":"1","build":1,"url":"http://127.0.0.1:1/x","sha256":"00"})";

} // namespace

class TestUpdateBanner : public QObject {
    Q_OBJECT

private slots:
    void bannerShowsOfferProgressAndDismissal()
    {
        QTemporaryDir root;
        Defaults defaults(root.filePath(QStringLiteral("settings.ini")));
        FeedServer server;
        const QByteArray archive(400000, 'x');
        server.set("/r.tar.zst", {archive, 200, {}, false, true});
        server.set("/appcast.json",
                   {QString::fromLatin1(kOfferTemplate)
                        .arg(server.url("/r.tar.zst"), sha256Hex(sha256(archive)))
                        .toUtf8(),
                    200, {}, false, false});
        defaults.set(QStringLiteral("VELLORA_APPCAST_URL"), server.url("/appcast.json"));
        defaults.set(QStringLiteral("VELLORA_UPDATE_TARGET"), root.filePath(QStringLiteral("Vellora.app")));
        Updater updater(defaults, 1, {});

        QWidget window;
        QPalette palette = window.palette();
        palette.setColor(QPalette::Window, QColor(30, 30, 30));
        window.setPalette(palette);
        window.setAutoFillBackground(true);
        window.resize(520, 60);
        auto *banner = new UpdateBanner(updater, &window);
        banner->setGeometry(10, 12, 500, 36);
        window.show();
        QVERIFY(!banner->isVisible()); // nothing offered, nothing said

        bool checked = false;
        updater.check(false, [&] { checked = true; });
        QTRY_VERIFY(checked);
        QTRY_VERIFY(banner->isVisible());
        QCOMPARE(banner->text(), QStringLiteral("Vellora 2.0 is available"));
        QVERIFY(button(*banner, QStringLiteral("Update"))->isVisible());
        save(window, QStringLiteral("update-banner-offer"));

        // "Update" starts the install; the server sends half and waits, so
        // the banner rests at half way.
        QTest::mouseClick(button(*banner, QStringLiteral("Update")), Qt::LeftButton);
        QTRY_VERIFY2(banner->progress() >= 0.45 && banner->progress() <= 0.55, qPrintable(QString::number(banner->progress())));
        QVERIFY(banner->text().startsWith(QStringLiteral("Downloading ")));
        QVERIFY(!button(*banner, QStringLiteral("Update"))->isEnabled());
        const QImage shot = window.grab().toImage();
        save(window, QStringLiteral("update-banner-progress"));
        // The bar's filled part is light; past half way the track is dark again.
        const QPoint origin = banner->mapTo(&window, QPoint(0, 0));
        const int y = origin.y() + 36 - 5;
        const int left = origin.x() + 14;
        const int width = 500 - 8 - 28;
        const QColor filled = shot.pixelColor(left + width / 4, y);
        const QColor empty = shot.pixelColor(left + width * 3 / 4, y);
        QVERIFY2(filled.lightness() > 150, qPrintable(filled.name()));
        QVERIFY2(empty.lightness() < 120, qPrintable(empty.name()));
    }

    void dismissHidesTheBanner()
    {
        QTemporaryDir root;
        Defaults defaults(root.filePath(QStringLiteral("settings.ini")));
        FeedServer server;
        server.set("/appcast.json", {"{}", 500, {}, false, false});
        defaults.set(QStringLiteral("VELLORA_APPCAST_URL"), server.url("/appcast.json"));
        Updater updater(defaults, 1, {});
        UpdateBanner banner(updater);
        banner.show();
        bool checked = false;
        updater.check(true, [&] { checked = true; });
        QTRY_VERIFY(checked);
        QCOMPARE(banner.text(), QStringLiteral("Couldn't check for updates: Update check failed (HTTP 500)."));
        QVERIFY(banner.isVisible());
        QVERIFY(!button(banner, QStringLiteral("Update"))->isVisible());
        QTest::mouseClick(button(banner, QStringLiteral("Dismiss")), Qt::LeftButton);
        QVERIFY(updater.dismissed());
        QVERIFY(!banner.isVisible());
    }

    void settingsSectionShowsLastCheck()
    {
        QTemporaryDir root;
        Defaults defaults(root.filePath(QStringLiteral("settings.ini")));
        FeedServer server;
        server.set("/appcast.json", {kCurrentFeed, 200, {}, false, false});
        defaults.set(QStringLiteral("VELLORA_APPCAST_URL"), server.url("/appcast.json"));
        Updater updater(defaults, 1, {});
        UpdateSettingsSection section(updater);
        section.setStyleSheet(QStringLiteral("background: rgb(30,30,30); color: rgb(214,214,214);"));
        section.resize(360, 120);
        section.show();
        QCOMPARE(section.lastCheckedText(), QStringLiteral("Never"));
        QVERIFY(section.findChild<QLabel *>() != nullptr);
        QTest::mouseClick(button(section, QStringLiteral("Check for Updates…")), Qt::LeftButton);
        QTRY_VERIFY(updater.lastChecked().has_value());
        QVERIFY(section.lastCheckedText() != QStringLiteral("Never"));
        QTRY_COMPARE(updater.status().value_or(QString()), QStringLiteral("Vellora is up to date."));
        save(section, QStringLiteral("update-settings"));
        // A new updater on the same settings remembers the check.
        Updater later(defaults, 1, {});
        QVERIFY(later.lastChecked().has_value());
    }
};

QTEST_MAIN(TestUpdateBanner)
#include "tst_updatebanner.moc"
