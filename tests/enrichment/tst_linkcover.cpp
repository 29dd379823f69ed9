#include "enrichment/LinkCover.h"

#include <QGuiApplication>
#include <QTest>

using namespace vellora;

namespace {

// The brightest grey level inside a rectangle (clipped to the image).
int brightest(const QImage &image, QRect r)
{
    r = r.intersected(image.rect());
    int best = 0;
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            best = std::max(best, qGray(image.pixel(x, y)));
    return best;
}

bool isGrey(QRgb p, int level, int tolerance = 2)
{
    return std::abs(qRed(p) - level) <= tolerance && std::abs(qGreen(p) - level) <= tolerance
        && std::abs(qBlue(p) - level) <= tolerance;
}

} // namespace

class TestLinkCover : public QObject {
    Q_OBJECT
private slots:
    void gradientRunsLightToDark();
    void placesTitleAndDomain_data();
    void placesTitleAndDomain();
    void emptyDomainDrawsNoLine();
    void longTitleStaysInsideItsBox();
    void drawsTheIconStretched();
};

void TestLinkCover::gradientRunsLightToDark()
{
    const auto cover = renderLinkCover(QStringLiteral("T"), QString(), std::nullopt);
    QVERIFY(cover);
    QCOMPARE(cover->size(), QSize(1280, 800));
    // White 0.17 at the top, 0.09 at the bottom, the same across each row.
    QVERIFY(isGrey(cover->pixel(0, 0), 43));
    QVERIFY(isGrey(cover->pixel(1279, 0), 43));
    QVERIFY(isGrey(cover->pixel(0, 799), 23));
    QVERIFY(isGrey(cover->pixel(1279, 799), 23));
    QVERIFY(isGrey(cover->pixel(10, 400), 33));
    QCOMPARE(cover->pixel(10, 600), cover->pixel(1270, 600));
    QVERIFY(qGray(cover->pixel(10, 200)) > qGray(cover->pixel(10, 600)));
}

void TestLinkCover::placesTitleAndDomain_data()
{
    QTest::addColumn<bool>("withIcon");
    QTest::addColumn<int>("titleTop");
    QTest::newRow("without icon") << false << 270;
    QTest::newRow("with icon") << true << 398;
}

void TestLinkCover::placesTitleAndDomain()
{
    QFETCH(bool, withIcon);
    QFETCH(int, titleTop);
    std::optional<QImage> icon;
    if (withIcon) {
        QImage red(16, 16, QImage::Format_ARGB32);
        red.fill(QColor(255, 0, 0));
        icon = red;
    }
    const auto cover = renderLinkCover(QStringLiteral("Hello Vellora"), QStringLiteral("example.com"), icon);
    QVERIFY(cover);

    // The title is white, on one line, starting at the box's top-left.
    QVERIFY(brightest(*cover, QRect(96, titleTop, 600, 70)) > 240);
    QVERIFY(brightest(*cover, QRect(0, titleTop, 95, 140)) < 50);
    QVERIFY(brightest(*cover, QRect(96, titleTop - 20, 1088, 19)) < 50);
    QVERIFY(brightest(*cover, QRect(96, titleTop + 75, 1088, 70)) < 50);
    // The domain: white at half opacity, 150 below the title's top.
    const int domain = brightest(*cover, QRect(96, titleTop + 150, 400, 40));
    QVERIFY2(domain > 110 && domain < 170, qPrintable(QString::number(domain)));
    QVERIFY(brightest(*cover, QRect(0, titleTop + 195, 1280, 800)) < 50);
}

void TestLinkCover::emptyDomainDrawsNoLine()
{
    const auto cover = renderLinkCover(QStringLiteral("Title"), QString(), std::nullopt);
    QVERIFY(cover);
    QVERIFY(brightest(*cover, QRect(0, 270 + 145, 1280, 385)) < 50);
}

void TestLinkCover::longTitleStaysInsideItsBox()
{
    const QString title = QStringLiteral("An unusually long page title that keeps going well past the end of "
                                         "the first line and the second line and then some more words still");
    const auto cover = renderLinkCover(title, QStringLiteral("example.com"), std::nullopt);
    QVERIFY(cover);
    // Two lines are written, nothing below the 140-point box before the domain,
    // nothing right of the 1088-point width.
    QVERIFY(brightest(*cover, QRect(96, 270, 1088, 65)) > 240);
    QVERIFY(brightest(*cover, QRect(96, 335, 1088, 65)) > 240);
    QVERIFY(brightest(*cover, QRect(96, 405, 1088, 14)) < 50);
    QVERIFY(brightest(*cover, QRect(96 + 1088 + 1, 270, 100, 140)) < 50);
    // The same text always wraps the same way.
    const auto again = renderLinkCover(title, QStringLiteral("example.com"), std::nullopt);
    QCOMPARE(*again, *cover);
    // A shorter text differs only in the cut line: the ellipsis ends it.
    const auto shorter = renderLinkCover(title.left(title.size() - 6), QStringLiteral("example.com"), std::nullopt);
    QCOMPARE(shorter->copy(0, 270, 1280, 65), cover->copy(0, 270, 1280, 65));
}

void TestLinkCover::drawsTheIconStretched()
{
    QImage icon(4, 4, QImage::Format_ARGB32);
    icon.fill(QColor(0, 0, 255));
    const auto cover = renderLinkCover(QStringLiteral("T"), QString(), icon);
    QVERIFY(cover);
    const QRgb inside = cover->pixel(96 + 44, 270 + 44);
    QVERIFY(qBlue(inside) > 240 && qRed(inside) < 10);
    QVERIFY(qBlue(cover->pixel(96 + 2, 270 + 85)) > 200);
    QVERIFY(isGrey(cover->pixel(96 + 92, 270 + 44), qGray(cover->pixel(60, 314)), 3));
    QVERIFY(isGrey(cover->pixel(92, 314), qGray(cover->pixel(60, 314)), 3));
}

QTEST_MAIN(TestLinkCover)
#include "tst_linkcover.moc"
