#include "ManualGridClock.h"

#include <ZezevavEri/GridClock.h>
#include <ZezevavEri/Layer.h>

#include <QTest>

#include <cmath>

using namespace zezevaveri;

class MotionTest : public QObject {
    Q_OBJECT
private slots:
    void curveShape_data()
    {
        QTest::addColumn<double>("mass");
        QTest::addColumn<double>("stiffness");
        QTest::addColumn<double>("damping");
        QTest::addColumn<double>("velocity");
        QTest::newRow("item") << 1.89 << 200.67 << 31.86 << 0.0;
        QTest::newRow("hover") << 3.0 << 335.7 << 28.39 << 0.0;
        QTest::newRow("page") << kPageMass << kPageStiffness << kPageDamping << 2.0;
        QTest::newRow("critical") << 1.0 << 100.0 << 20.0 << 0.0;
        QTest::newRow("overdamped") << 1.0 << 100.0 << 60.0 << 0.0;
        QTest::newRow("overdamped, fast start") << 1.0 << 100.0 << 60.0 << 12.0;
    }
    void curveShape()
    {
        QFETCH(double, mass);
        QFETCH(double, stiffness);
        QFETCH(double, damping);
        QFETCH(double, velocity);
        const SpringCurve curve(mass, stiffness, damping, velocity);
        const double settle = curve.settlingDuration();
        QVERIFY(settle > 0.05 && settle < 10);
        QCOMPARE(curve.progress(0), 0.0);
        // From the settling time on, the spring stays within a thousandth.
        for (double t = settle; t < settle + 3; t += 0.01)
            QVERIFY2(std::abs(curve.progress(t) - 1) <= 1e-3 + 1e-12, qPrintable(QString::number(t)));
        // ... and shortly before it, it has not yet settled in the envelope's sense.
        QVERIFY(curve.progress(settle * 0.25) < 0.999 || std::abs(curve.progress(settle * 0.25) - 1) > 1e-3);
    }

    void knownSettlingTimes()
    {
        // The tile spring: ζ ≈ 0.818, ω ≈ 10.30 rad/s.
        QVERIFY(std::abs(ScatterConfig().item.settlingDuration() - 0.885) < 0.01);
        QVERIFY(std::abs(springSpeed(0.885, 0.3) - 2.95) < 1e-9);
        QCOMPARE(springSpeed(0.885, 0.01), 1.0);
        QCOMPARE(springSpeed(0.885, 0), 1.0);
    }

    void pageVelocity_data()
    {
        QTest::addColumn<double>("velocity");
        QTest::addColumn<double>("target");
        QTest::addColumn<double>("current");
        QTest::addColumn<double>("expected");
        QTest::newRow("forward commit") << -1648.0 << 0.0 << 824.0 << 2.0;
        QTest::newRow("clamped high") << -1648.0 << 0.0 << 10.0 << 12.0;
        QTest::newRow("away from the target") << 1648.0 << 0.0 << 824.0 << 0.0;
        QTest::newRow("no distance") << 5.0 << 3.0 << 3.0 << 0.0;
    }
    void pageVelocity()
    {
        QFETCH(double, velocity);
        QFETCH(double, target);
        QFETCH(double, current);
        QFETCH(double, expected);
        QCOMPARE(pageInitialVelocity(velocity, target, current), expected);
    }

    void springAnimationPlaysOutInItsDuration_data()
    {
        QTest::addColumn<double>("duration");
        QTest::newRow("open") << 0.3;
        QTest::newRow("scatter") << 0.35;
        QTest::newRow("corner") << 0.34;
        QTest::newRow("own pace") << 0.0;
    }
    void springAnimationPlaysOutInItsDuration()
    {
        QFETCH(double, duration);
        const SpringMotion spring = ScatterConfig().item;
        Layer layer;
        layer.position = QPointF(500, 100);
        layer.addAnimation(keys::position, Animation::spring(keys::position, spring, QPointF(100, 100), QPointF(500, 100), duration), 10.0);
        const double expectedEnd = duration > 0.01 ? duration : spring.settlingDuration();
        const Animation *a = layer.animation(keys::position);
        QVERIFY(a);
        QVERIFY(std::abs(a->endTime() - (10.0 + expectedEnd)) < 1e-9);
        const double mid = std::get<QPointF>(layer.presentationValue(keys::position, 10.0 + expectedEnd * 0.3)).x();
        QVERIFY(mid > 150 && mid < 500);
        QVERIFY(layer.isAnimating(10.0 + expectedEnd * 0.99));
        QVERIFY(!layer.isAnimating(10.0 + expectedEnd));
        std::vector<std::function<void()>> completions;
        layer.reap(10.0 + expectedEnd, completions);
        QVERIFY(!layer.hasAnimations());
        QCOMPARE(layer.presentation(20).position, QPointF(500, 100));
    }

    void missingStartValueComesFromThePresentation()
    {
        Layer layer;
        layer.opacity = 0;
        layer.addAnimation(keys::opacity, Animation::spring(keys::opacity, {1, 100, 20}, std::nullopt, 0.0, 1), 0);
        layer.opacity = 1;
        // Model set after the add: the animation runs from 0, so it reads 0 at its start.
        QCOMPARE(std::get<double>(layer.presentationValue(keys::opacity, 0)), 0.0);
        layer.opacity = 0.25;
        layer.addAnimation(keys::opacity, Animation::spring(keys::opacity, {1, 100, 20}, std::nullopt, 1.0, 1), 0.5);
        const double start = std::get<double>(layer.presentationValue(keys::opacity, 0.5));
        QVERIFY(std::abs(start - std::get<double>(layer.animation(keys::opacity)->from.value())) < 1e-12);
    }

    void additiveShakeReturnsHome()
    {
        Layer layer;
        layer.setFrame(QRectF(100, 100, 200, 100));
        Animation shake;
        shake.kind = Animation::Keyframes;
        shake.keyPath = keys::positionX;
        shake.values = {0.0, -24.0, 0.0};
        shake.duration = 0.25;
        shake.additive = true;
        layer.addAnimation(QStringLiteral("nudge"), shake, 1.0);
        QCOMPARE(layer.presentation(1.125).position.x(), 200.0 - 24.0);
        QCOMPARE(layer.presentation(1.0625).position.x(), 200.0 - 12.0);
        QCOMPARE(layer.presentation(1.25).position.x(), 200.0);
        QCOMPARE(layer.presentation(1.125).position.y(), 150.0);
    }

    void endlessRotationNeverFinishes()
    {
        Layer layer;
        Animation spin;
        spin.kind = Animation::Basic;
        spin.keyPath = keys::rotationZ;
        spin.from = 0.0;
        spin.to = -2 * M_PI;
        spin.duration = 0.9;
        spin.repeatForever = true;
        layer.addAnimation(QStringLiteral("spin"), spin, 0);
        QVERIFY(std::abs(layer.presentation(0.45).rotation + M_PI) < 1e-9);
        QVERIFY(std::abs(layer.presentation(900.45).rotation + M_PI) < 1e-6);
        QVERIFY(layer.isAnimating(1e6));
    }

    void completionsRunOnceWhenFinishedReplacedOrRemoved()
    {
        Layer layer;
        int finished = 0, replaced = 0, removed = 0;
        Animation a = Animation::spring(keys::opacity, {1, 100, 20}, 0.0, 1.0, 0.2);
        a.completion = [&] { ++replaced; };
        layer.addAnimation(QStringLiteral("x"), a, 0);
        a.completion = [&] { ++finished; };
        layer.addAnimation(QStringLiteral("x"), a, 0);
        QCOMPARE(replaced, 1);
        a.completion = [&] { ++removed; };
        layer.addAnimation(QStringLiteral("y"), a, 0);
        layer.removeAnimation(QStringLiteral("y"));
        QCOMPARE(removed, 1);
        std::vector<std::function<void()>> completions;
        layer.reap(0.1, completions);
        QVERIFY(completions.empty());
        layer.reap(0.2, completions);
        QCOMPARE(int(completions.size()), 1);
        completions.front()();
        QCOMPARE(finished, 1);
        QCOMPARE(replaced, 1);
    }

    void manualClockRunsWorkInTimeOrder()
    {
        ManualGridClock clock(0);
        QStringList log;
        clock.schedule(0.3, [&] { log << "b"; });
        const quint64 dropped = clock.schedule(0.2, [&] { log << "x"; });
        clock.schedule(0.1, [&] {
            log << "a";
            clock.schedule(0.05, [&] { log << "a2"; });
        });
        clock.cancel(dropped);
        clock.advance(0.25);
        QCOMPARE(log, (QStringList{"a", "a2"}));
        QCOMPARE(clock.now(), 0.25);
        clock.advance(1);
        QCOMPARE(log, (QStringList{"a", "a2", "b"}));
    }
};

QTEST_GUILESS_MAIN(MotionTest)
#include "tst_motion.moc"
