// The banner and the settings section follow the updater: the offer, the
// download's progress, dismissal, and the time of the last check.

#include "LoopbackHttpServer.h"
#include "ToolTipChecks.h"

#include "platform/Defaults.h"
#include "platform/Digest.h"
#include "update/Updater.h"
#include "views/UpdateBanner.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QToolTip>
#include <cmath>

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
        LoopbackHttpServer server;
        const QByteArray archive(400000, 'x');
        server.set("/r.tar.zst", {.body = archive, .stall = true});
        server.set("/appcast.json",
                   {.body = QString::fromLatin1(kOfferTemplate)
                        .arg(server.url("/r.tar.zst"), sha256Hex(sha256(archive)))
                        .toUtf8()});
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
        LoopbackHttpServer server;
        server.set("/appcast.json", {.status = 500, .body = "{}"});
        defaults.set(QStringLiteral("VELLORA_APPCAST_URL"), server.url("/appcast.json"));
        Updater updater(defaults, 1, {});
        UpdateBanner banner(updater);
        banner.show();
        bool checked = false;
        updater.check(true, [&] { checked = true; });
        QTRY_VERIFY(checked);
        QCOMPARE(banner.text(), QStringLiteral("Update check failed (HTTP 500)."));
        QVERIFY(banner.isVisible());
        QVERIFY(!button(banner, QStringLiteral("Update"))->isVisible());
        QTest::mouseClick(button(banner, QStringLiteral("Dismiss")), Qt::LeftButton);
        QVERIFY(updater.dismissed());
        QVERIFY(!banner.isVisible());
    }

    // The install's failure replaces the offer in the banner, with "Update"
    // left there to try again.
    void failedInstallShowsInTheBanner()
    {
        QTemporaryDir root;
        Defaults defaults(root.filePath(QStringLiteral("settings.ini")));
        LoopbackHttpServer server;
        const QByteArray archive("not an archive");
        server.set("/r.tar.zst", {.body = archive});
        server.set("/r.tar.zst.minisig", {.body = "untrusted comment: x\ngarbage\n"});
        server.set("/appcast.json",
                   {.body = QString::fromLatin1(kOfferTemplate).arg(server.url("/r.tar.zst"), sha256Hex(sha256(archive))).toUtf8()});
        defaults.set(QStringLiteral("VELLORA_APPCAST_URL"), server.url("/appcast.json"));
        defaults.set(QStringLiteral("VELLORA_UPDATE_TARGET"), root.filePath(QStringLiteral("Vellora.app")));
        Updater updater(defaults, 1, {});
        updater.setRelaunches(false);
        QWidget window;
        window.setStyleSheet(QStringLiteral("background: rgb(30,30,30);"));
        window.resize(520, 60);
        auto *banner = new UpdateBanner(updater, &window);
        banner->setGeometry(10, 12, 500, 36);
        window.show();
        bool checked = false;
        updater.check(true, [&] { checked = true; });
        QTRY_VERIFY(checked);
        QCOMPARE(banner->text(), QStringLiteral("Vellora 2.0 is available"));
        QTest::mouseClick(button(*banner, QStringLiteral("Update")), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!updater.busy(), 20000);
        QVERIFY(updater.status()->startsWith(QStringLiteral("Update failed: ")));
        QCOMPARE(banner->text(), *updater.status());
        QVERIFY(!banner->text().contains(QRegularExpression(QStringLiteral("\\(\\d+\\)"))));
        QVERIFY(button(*banner, QStringLiteral("Update"))->isVisible());
        QVERIFY(button(*banner, QStringLiteral("Update"))->isEnabled());
        save(window, QStringLiteral("update-banner-failure"));
    }

    void longTextBreaksBetweenWords_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("host not found")
            << "Couldn't check for updates: Host updates.quendle.com not found";
        QTest::newRow("feed not an object")
            << "Couldn't check for updates: The update feed can't be read: the feed is not a JSON object.";
        QTest::newRow("download with paths")
            << "Downloading http://127.0.0.1:40411/releases/Vellora-0.2.0.tar.zst to /home/someone/.local/share/"
               "Vellora/Updates/Vellora-2-5B0E6F0C-3A4B-4C5D-8E9F-0123456789AB.tar.zst";
        QTest::newRow("one long word") << QString(400, QLatin1Char('x'));
        QTest::newRow("short") << "Vellora is up to date.";
    }

    void longTextBreaksBetweenWords()
    {
        QFETCH(QString, text);
        QFont font;
        font.setPixelSize(11);
        const QFontMetrics metrics(font);
        const int width = UpdateBanner::kTextWidth;
        const QStringList lines = fitBannerLines(text, metrics, width, 2);
        QVERIFY(!lines.isEmpty() && lines.size() <= 2);
        QString shown;
        for (const QString &line : lines) {
            QVERIFY2(metrics.horizontalAdvance(line) <= width, qPrintable(line));
            shown += (shown.isEmpty() || shown.endsWith(QLatin1Char('/')) ? QString() : QStringLiteral(" ")) + line;
        }
        if (shown == text)
            return;
        // Cut: what shows is the text's beginning up to a break, then "…".
        QVERIFY(shown.endsWith(QStringLiteral("\u2026")));
        shown.chop(1);
        QVERIFY2(text.startsWith(shown), qPrintable(shown));
        const QChar next = shown.size() < text.size() ? text.at(shown.size()) : QChar();
        const QChar last = shown.isEmpty() ? QChar(QLatin1Char(' ')) : shown.back();
        QVERIFY2(next == QLatin1Char(' ') || last == QLatin1Char('/') || last == QLatin1Char(' ') || shown.isEmpty(),
                 qPrintable(shown));
    }

    // A failure's whole text is in the banner, broken between words, and its
    // tooltip (shown when the text is cut) is readable on its own background.
    void bannerTextAndTooltipReadable()
    {
        QTemporaryDir root;
        Defaults defaults(root.filePath(QStringLiteral("settings.ini")));
        LoopbackHttpServer server;
        server.set("/appcast.json", {.body = "[1, 2, 3, \"a feed that is not an object at all\"]"});
        defaults.set(QStringLiteral("VELLORA_APPCAST_URL"), server.url("/appcast.json"));
        Updater updater(defaults, 1, {});
        QWidget window;
        window.setStyleSheet(QStringLiteral("background: rgb(30,30,30);"));
        window.resize(520, 60);
        auto *banner = new UpdateBanner(updater, &window);
        banner->setGeometry(10, 12, 500, 36);
        window.show();
        bool checked = false;
        updater.check(true, [&] { checked = true; });
        QTRY_VERIFY(checked);
        const QString full = banner->text();
        QVERIFY(full.startsWith(QStringLiteral("Couldn't check for updates: ")));
        const QStringList lines = banner->shownLines();
        QVERIFY(lines.size() <= 2);
        for (const QString &line : lines)
            QVERIFY2(!line.contains(QStringLiteral("\u2026")) || line.endsWith(QStringLiteral("\u2026")), qPrintable(line));
        QString rest = full.simplified();
        for (QString line : lines) {
            if (line.endsWith(QStringLiteral("\u2026")))
                line.chop(1);
            QVERIFY2(rest.startsWith(line), qPrintable(line));
            rest = rest.mid(line.size()).trimmed();
        }
        save(window, QStringLiteral("update-banner-long-failure"));

        QLabel *label = banner->findChild<QLabel *>(QStringLiteral("updateBannerText"));
        QVERIFY(label);
        QToolTip::showText(label->mapToGlobal(QPoint(4, 4)), full, label);
        QTRY_VERIFY(shownToolTip());
        QWidget *tip = shownToolTip();
        const QImage image = tip->grab().toImage();
        const TextColours colours = textColours(image);
        const QRgb background = colours.background.rgb();
        const double best = colours.contrast;
        QDir().mkpath(QStringLiteral(VELLORA_SCREENSHOTS));
        image.save(QStringLiteral(VELLORA_SCREENSHOTS "/update-banner-tooltip.png"));
        QVERIFY2(best >= 4.5, qPrintable(QStringLiteral("contrast %1 on %2").arg(best).arg(QColor(background).name())));
        // Dark, like the window, rather than the default pale yellow.
        QVERIFY2(QColor(background).lightness() < 128, qPrintable(QColor(background).name()));
        QToolTip::hideText();
    }

    void settingsSectionShowsLastCheck()
    {
        QTemporaryDir root;
        Defaults defaults(root.filePath(QStringLiteral("settings.ini")));
        LoopbackHttpServer server;
        server.set("/appcast.json", {.body = kCurrentFeed});
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
