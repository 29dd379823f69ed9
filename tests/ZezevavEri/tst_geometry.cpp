#include <ZezevavEri/Geometry.h>

#include <QTest>

#include <cmath>

using namespace zezevaveri;
Q_DECLARE_METATYPE(std::vector<double>)

namespace {
std::vector<ScatterItem> makeItems(int count, QList<int> external = {})
{
    std::vector<ScatterItem> items;
    for (int i = 0; i < count; ++i)
        items.push_back(ScatterItem{QString::number(i), 1.0, {}, {}, 0, false, external.contains(i)});
    return items;
}
} // namespace

class GeometryTest : public QObject {
    Q_OBJECT
private slots:
    void defaults()
    {
        const ScatterConfig c;
        QCOMPARE(c.item, (SpringMotion{1.89, 200.67, 31.86}));
        QCOMPARE(c.hover, (SpringMotion{3.0, 335.7, 28.39}));
        QCOMPARE(c.rowHeight, 150.0);
        QCOMPARE(c.gap, 14.0);
        QCOMPARE(c.densityThreshold, 80);
        QCOMPARE(c.background, QColor(30, 30, 30));
        QCOMPARE(c.background.alphaF(), 1.0);
        ScatterConfig other;
        other.hoverScale = 1.03;
        QVERIFY(!(other == c));
        const ScatterItem a{"a", 1.5, "t", "s", 1, false, false};
        ScatterItem b = a;
        QCOMPARE(a, b);
        b.revision = 2;
        QVERIFY(!(a == b));
    }

    // Laying out again from the row before the first changed item gives the
    // frames a layout from scratch gives, whatever changed after it.
    void layoutFromTheFirstChangeEqualsAFreshOne_data()
    {
        QTest::addColumn<int>("changedAt");
        QTest::addColumn<QString>("change");
        QTest::addColumn<double>("header");
        for (int at : {0, 1, 7, 8, 40, 199}) {
            for (const char *change : {"remove", "insert", "replace", "truncate"})
                QTest::addRow("%s at %d", change, at) << at << QString(change) << (at % 2 ? 0.0 : 36.0);
        }
    }
    void layoutFromTheFirstChangeEqualsAFreshOne()
    {
        QFETCH(int, changedAt);
        QFETCH(QString, change);
        QFETCH(double, header);
        std::vector<double> aspects;
        for (int i = 0; i < 200; ++i)
            aspects.push_back(0.4 + std::fmod(i * 0.618, 2.2));
        std::vector<QRectF> frames;
        justifiedLayout(aspects, 900, 150, 14, header, frames);
        const size_t at = size_t(changedAt);
        if (change == "remove")
            aspects.erase(aspects.begin() + changedAt);
        else if (change == "insert")
            aspects.insert(aspects.begin() + changedAt, {3.0, 0.5});
        else if (change == "replace")
            aspects[at] = 5.0;
        else
            aspects.resize(at + 1);
        size_t from = 0;
        double top = 0;
        if (at > 0) {
            from = rowStartOf(frames, at - 1);
            top = frames[from].y();
        }
        const double height = justifiedLayoutFrom(aspects, 900, 150, 14, header, from, top, frames);
        const JustifiedLayout fresh = justifiedLayout(aspects, 900, 150, 14, header);
        QCOMPARE(frames, fresh.frames);
        QCOMPARE(height, fresh.height);
    }

    void rows_data()
    {
        QTest::addColumn<std::vector<double>>("aspects");
        QTest::addColumn<double>("width");
        QTest::addColumn<double>("header");
        // x, y, w, h of every frame.
        QTest::addColumn<QList<QRectF>>("expected");
        const double k = 716.0 / 750.0;
        QTest::newRow("four squares keep their natural size")
            << std::vector<double>{1, 1, 1, 1} << 800.0 << -1.0
            << QList<QRectF>{{14, 14, 150, 150}, {178, 14, 150, 150}, {342, 14, 150, 150}, {506, 14, 150, 150}};
        QList<QRectF> five;
        for (int i = 0; i < 5; ++i)
            five.append(QRectF(14 + i * (150 * k + 14), 14, 150 * k, 150 * k));
        QTest::newRow("five squares close a row") << std::vector<double>{1, 1, 1, 1, 1} << 800.0 << -1.0 << five;
        QTest::newRow("header shifts the first row")
            << std::vector<double>{1} << 800.0 << 40.0 << QList<QRectF>{{14, 54, 150, 150}};
        // 772 = 14 + 2 × 150 × 2.5 + 14 ... natural widths that fill A exactly.
        QTest::newRow("exact fill closes at scale 1")
            << std::vector<double>{379.0 / 150.0, 379.0 / 150.0} << 800.0 << -1.0
            << QList<QRectF>{{14, 14, 379, 150}, {407, 14, 379, 150}};
        QTest::newRow("bad aspects count as square")
            << std::vector<double>{0, -2, qQNaN(), qInf()} << 800.0 << -1.0
            << QList<QRectF>{{14, 14, 150, 150}, {178, 14, 150, 150}, {342, 14, 150, 150}, {506, 14, 150, 150}};
        QTest::newRow("no room for the gaps") << std::vector<double>{1, 1} << 28.0 << -1.0 << QList<QRectF>{};
        QTest::newRow("negative width") << std::vector<double>{1} << -5.0 << -1.0 << QList<QRectF>{};
    }
    void rows()
    {
        QFETCH(std::vector<double>, aspects);
        QFETCH(double, width);
        QFETCH(double, header);
        QFETCH(QList<QRectF>, expected);
        const JustifiedLayout laid = justifiedLayout(aspects, width, 150, 14, header);
        QCOMPARE(int(laid.frames.size()), int(expected.size()));
        for (int i = 0; i < expected.size(); ++i) {
            const QRectF f = laid.frames[size_t(i)];
            const QRectF e = expected[i];
            QVERIFY2(std::abs(f.x() - e.x()) < 1e-9 && std::abs(f.y() - e.y()) < 1e-9 &&
                         std::abs(f.width() - e.width()) < 1e-9 && std::abs(f.height() - e.height()) < 1e-9,
                     qPrintable(QStringLiteral("frame %1: %2,%3 %4x%5").arg(i).arg(f.x()).arg(f.y()).arg(f.width()).arg(f.height())));
        }
    }

    void rowsEndAtTheRightEdge()
    {
        // Mixed aspects: every closed row ends at width - gap, rows never
        // overlap, and the document height covers the last row.
        std::vector<double> aspects;
        for (int i = 0; i < 500; ++i)
            aspects.push_back(0.3 + std::fmod(i * 0.737, 2.7));
        const JustifiedLayout laid = justifiedLayout(aspects, 1200, 150, 14);
        QCOMPARE(laid.frames.size(), aspects.size());
        double rowY = laid.frames[0].y(), rowRight = 0, lastBottom = 0;
        int closed = 0;
        for (size_t i = 0; i < laid.frames.size(); ++i) {
            const QRectF f = laid.frames[i];
            if (f.y() != rowY) {
                QVERIFY(std::abs(rowRight - (1200 - 14)) < 1e-6);
                QVERIFY(f.y() >= lastBottom + 14 - 1e-9);
                ++closed;
                rowY = f.y();
            }
            rowRight = f.right();
            lastBottom = f.bottom();
        }
        QVERIFY(closed > 50);
        QVERIFY(std::abs(laid.height - (lastBottom + 14)) < 1e-9);
    }

    void degenerateInputsStayFinite_data()
    {
        QTest::addColumn<std::vector<double>>("aspects");
        QTest::addColumn<double>("width");
        QTest::addColumn<double>("gap");
        QTest::newRow("slivers in a narrow width") << std::vector<double>(40, 0.001) << 48.0 << 14.0;
        QTest::newRow("huge aspect") << std::vector<double>{1e300, 1, 1e-300} << 800.0 << 14.0;
        QTest::newRow("width barely above the gaps") << std::vector<double>(10, 1.0) << 28.5 << 14.0;
        QTest::newRow("nan width") << std::vector<double>{1, 1} << qQNaN() << 14.0;
        QTest::newRow("negative gap") << std::vector<double>{1, 1} << 800.0 << -3.0;
    }
    void degenerateInputsStayFinite()
    {
        QFETCH(std::vector<double>, aspects);
        QFETCH(double, width);
        QFETCH(double, gap);
        const JustifiedLayout laid = justifiedLayout(aspects, width, 150, gap);
        QVERIFY(laid.frames.empty() || laid.frames.size() == aspects.size());
        QVERIFY(std::isfinite(laid.height));
        for (const QRectF &f : laid.frames) {
            QVERIFY(std::isfinite(f.x()) && std::isfinite(f.y()) && std::isfinite(f.width()) && std::isfinite(f.height()));
            QVERIFY(f.width() > 0 && f.height() > 0);
        }
    }

    void stage()
    {
        const QRectF visible(0, 100, 800, 600);
        QCOMPARE(stageRect(1.0, visible), QRectF(160, 160, 480, 480));
        QCOMPARE(stageRect(4.0, visible), QRectF(80, 320, 640, 160));
        QCOMPARE(stageRect(0.0, visible), QRectF(160, 160, 480, 480));
    }

    void neighbours_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<int>("step");
        QTest::addColumn<int>("expected");
        QTest::newRow("forward steps over the external") << 1 << 1 << 3;
        QTest::newRow("nothing after the last") << 3 << 1 << -1;
        QTest::newRow("back steps over the external") << 3 << -1 << 1;
        QTest::newRow("back to the first") << 1 << -1 << 0;
        QTest::newRow("nothing before the first") << 0 << -1 << -1;
        QTest::newRow("out of range") << 9 << 1 << -1;
    }
    void neighbours()
    {
        QFETCH(int, index);
        QFETCH(int, step);
        QFETCH(int, expected);
        const auto items = makeItems(4, {2});
        QCOMPARE(neighbourIndex(items, index, step).value_or(-1), expected);
    }

    void loadRectFollowsTheScroll()
    {
        const QRectF v(0, 1000, 800, 600);
        QCOMPARE(loadRect(v, 0, 150, 14), QRectF(0, 400, 800, 1800));
        QCOMPARE(loadRect(v, -1, 150, 14), QRectF(0, 400 - 328, 800, 1800 + 328));
        QCOMPARE(loadRect(v, 1, 150, 14), QRectF(0, 400, 800, 1800 + 328));
    }

    void push()
    {
        ScatterConfig config;
        config.rowHeight = 156; // s = 1
        const std::vector<QRectF> frames{{0, 0, 100, 100}, {200, 0, 100, 100}, {0, 5000, 100, 100}};
        const auto targets = pushTargets(frames, 0, QRectF(0, 0, 1000, 1000), 10, config);
        QCOMPARE(int(targets.size()), 1); // the far frame is outside the load rectangle
        QCOMPARE(targets[0].index, 1);
        const double m = 800 * std::exp(-200.0 / 1000);
        QVERIFY(std::abs(targets[0].frame.x() - (200 + m)) < 1e-9);
        QCOMPARE(targets[0].frame.y(), 0.0);
        // Above the density threshold the push weakens by threshold / count.
        const auto dense = pushTargets(frames, 0, QRectF(0, 0, 1000, 1000), 160, config);
        QVERIFY(std::abs(dense[0].frame.x() - (200 + m / 2)) < 1e-9);
        // A push under one point leaves the frame alone.
        config.push = 0.5;
        QCOMPARE(pushTargets(frames, 0, QRectF(0, 0, 1000, 1000), 10, config)[0].frame, frames[1]);
    }

    void clicks_data()
    {
        QTest::addColumn<QStringList>("selected");
        QTest::addColumn<int>("index");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<int>("action");
        QTest::addColumn<QStringList>("expected");
        const int change = ClickResult::ChangeSelection;
        QTest::newRow("plain click opens") << QStringList{"1"} << 3 << 0 << int(ClickResult::Open) << QStringList{"1"};
        QTest::newRow("plain click on external activates") << QStringList{} << 2 << 0 << int(ClickResult::Activate) << QStringList{};
        QTest::newRow("command adds") << QStringList{"1"} << 3 << int(CommandModifier) << change << QStringList{"1", "3"};
        QTest::newRow("command removes") << QStringList{"1", "3"} << 1 << int(CommandModifier) << change << QStringList{"3"};
        QTest::newRow("shift range forward") << QStringList{"1"} << 4 << int(ShiftModifier) << change << QStringList{"1", "2", "3", "4"};
        QTest::newRow("shift range backward keeps older picks") << QStringList{"5", "3"} << 0 << int(ShiftModifier) << change
                                                         << QStringList{"5", "3", "0", "1", "2"};
        QTest::newRow("shift without selection toggles") << QStringList{} << 2 << int(ShiftModifier) << change << QStringList{"2"};
        QTest::newRow("shift with a lost anchor toggles") << QStringList{"gone"} << 2 << int(ShiftModifier) << change
                                                   << QStringList{"gone", "2"};
        QTest::newRow("no duplicates in the range") << QStringList{"2", "0"} << 3 << int(ShiftModifier) << change
                                             << QStringList{"2", "0", "1", "3"};
    }
    void clicks()
    {
        QFETCH(QStringList, selected);
        QFETCH(int, index);
        QFETCH(int, modifiers);
        QFETCH(int, action);
        QFETCH(QStringList, expected);
        const auto items = makeItems(6, {2});
        const ClickResult r = clickResult(items, selected, index, modifiers);
        QCOMPARE(int(r.action), action);
        QCOMPARE(r.selected, expected);
    }

    void pill_data()
    {
        QTest::addColumn<double>("tileWidth");
        QTest::addColumn<double>("measured");
        QTest::addColumn<bool>("external");
        QTest::addColumn<double>("textWidth");
        QTest::newRow("fits") << 300.0 << 80.7 << false << 80.0;
        QTest::newRow("cut to the tile") << 200.0 << 500.0 << false << 200.0 - 64.0;
        QTest::newRow("external is narrower") << 200.0 << 500.0 << true << 200.0 - 88.0;
        QTest::newRow("never below zero") << 40.0 << 500.0 << true << 0.0;
    }
    void pill()
    {
        QFETCH(double, tileWidth);
        QFETCH(double, measured);
        QFETCH(bool, external);
        QFETCH(double, textWidth);
        const PillGeometry g = pillGeometry(tileWidth, 150, measured, external);
        QCOMPARE(g.textWidth, textWidth);
        const double p = (external ? 24 : 0) + textWidth + 45.5;
        QCOMPARE(g.pill, QRectF((tileWidth - p) / 2, 150 - 41.5, p, 32));
        QCOMPARE(g.arrow, QRectF(p - 22.5, 11, 10, 10));
        QCOMPARE(g.text, QRectF(33, 7, textWidth, 18));
    }
};

QTEST_GUILESS_MAIN(GeometryTest)
#include "tst_geometry.moc"
