// The painter's prepared pictures: made together for a whole frame they are
// the pictures made one by one, and a tile that only fades is drawn from its
// prepared picture as it is drawn at rest.
#include <ZezevavEri/Layer.h>
#include <ZezevavEri/LayerPainter.h>

#include <QTest>

#include <cmath>

using namespace zezevaveri;

Q_DECLARE_METATYPE(zezevaveri::Gravity)

namespace {
// Diagonal colour bands: any shift, stretch or filtering shows in the pixels.
QImage bands(int w, int h, int seed)
{
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < w; ++x)
            line[x] = qRgb((x * 7 + seed * 40) % 256, (y * 5 + x) % 256, ((x + y) / 3 * 60 + seed) % 256);
    }
    return image;
}

LayerPtr tile(const QRectF &frame, const QImage &contents)
{
    LayerPtr layer = Layer::make(QStringLiteral("tile"));
    layer->setFrame(frame);
    layer->contents = contents;
    layer->backgroundColor = QColor(40, 40, 40);
    layer->cornerRadius = 6;
    layer->masksToBounds = true;
    return layer;
}

QImage paintOnce(LayerPainter &painter, const Layer &root, double now)
{
    QImage target(400, 300, QImage::Format_ARGB32_Premultiplied);
    target.fill(Qt::white);
    QPainter p(&target);
    std::vector<const Layer *> layers;
    for (const LayerPtr &l : root.sublayers())
        layers.push_back(l.get());
    painter.paint(p, root, layers, now, QRectF(0, 0, 400, 300), 1.0);
    return target;
}
} // namespace

class PainterTest : public QObject {
    Q_OBJECT
private slots:
    void preparedTogetherAsOneByOne_data()
    {
        QTest::addColumn<Gravity>("gravity");
        QTest::addColumn<double>("radius");
        QTest::addColumn<double>("dpr");
        QTest::newRow("fill, rounded") << Gravity::ResizeAspectFill << 9.0 << 1.0;
        QTest::newRow("fill, square, 2x") << Gravity::ResizeAspectFill << 0.0 << 2.0;
        QTest::newRow("fit, rounded, 2x") << Gravity::ResizeAspect << 5.5 << 2.0;
        QTest::newRow("centred glyph") << Gravity::Center << 3.0 << 1.0;
    }
    void preparedTogetherAsOneByOne()
    {
        QFETCH(Gravity, gravity);
        QFETCH(double, radius);
        QFETCH(double, dpr);
        std::vector<TileImageCache::Request> requests;
        for (int i = 0; i < 9; ++i) {
            TileImageCache::Request r;
            r.source = bands(120 + 17 * i, 90 + 11 * (i % 4), i);
            r.pixels = QSize(61 + 9 * i, 47 + 5 * i);
            r.radius = radius;
            r.gravity = gravity;
            r.dpr = dpr;
            requests.push_back(r);
        }
        // The same source again at another size: one picture per source is
        // kept, and the first asked for is the one made.
        TileImageCache::Request twice = requests[2];
        twice.pixels = QSize(30, 30);
        requests.push_back(twice);

        TileImageCache together, alone;
        QCOMPARE(together.prepareAll(requests), 9);
        QCOMPARE(together.count(), 9);
        for (size_t i = 0; i < 9; ++i) {
            const TileImageCache::Request &r = requests[i];
            QVERIFY(together.holds(r));
            const QImage expected = alone.prepared(r.source, r.pixels, r.radius, r.gravity, true, r.dpr);
            const QImage held = together.prepared(r.source, r.pixels, r.radius, r.gravity, true, r.dpr);
            QCOMPARE(held.size(), r.pixels);
            QCOMPARE(held.devicePixelRatio(), dpr);
            QVERIFY2(held == expected, qPrintable(QStringLiteral("picture %1").arg(i)));
        }
        QVERIFY(!together.holds(twice));
        twice.exact = false; // a moving tile takes whatever is there
        QVERIFY(together.holds(twice));
        // Nothing is made twice.
        QCOMPARE(together.prepareAll(requests), 1);
        QCOMPARE(together.prepareAll({requests.back()}), 0);
        QCOMPARE(together.count(), 9);
    }

    // The rounded shape is cut with an antialiased mask; a picture of any
    // size and radius comes out as if the whole mask had been applied.
    void roundedCornersAsAWholeMask_data()
    {
        QTest::addColumn<QSize>("pixels");
        QTest::addColumn<double>("radius");
        QTest::newRow("tile") << QSize(251, 188) << 8.0;
        QTest::newRow("fractional radius, tall") << QSize(190, 260) << 5.3;
        QTest::newRow("corners just apart") << QSize(20, 20) << 9.0;
        QTest::newRow("corners meet") << QSize(20, 20) << 9.5;
        QTest::newRow("a pill") << QSize(120, 30) << 15.0;
        QTest::newRow("sliver") << QSize(3, 50) << 3.0;
        QTest::newRow("radius beyond the size") << QSize(40, 30) << 120.0;
    }
    void roundedCornersAsAWholeMask()
    {
        QFETCH(QSize, pixels);
        QFETCH(double, radius);
        const QImage source = bands(pixels.width() + 13, pixels.height() + 7, 5);
        QImage expected(pixels, QImage::Format_ARGB32_Premultiplied);
        expected.fill(Qt::transparent);
        {
            const QRectF placed = gravityRect(QSizeF(source.size()), QRectF(QPointF(), QSizeF(pixels)),
                                              Gravity::ResizeAspectFill);
            const QImage scaled = source.scaled(QSize(int(std::lround(placed.width())), int(std::lround(placed.height()))),
                                                Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
            QImage mask(pixels, QImage::Format_ARGB32_Premultiplied);
            mask.fill(Qt::transparent);
            QPainter m(&mask);
            m.setRenderHint(QPainter::Antialiasing);
            m.setPen(Qt::NoPen);
            m.setBrush(Qt::black);
            m.drawRoundedRect(QRectF(QPointF(), QSizeF(pixels)), radius, radius);
            m.end();
            QPainter p(&expected);
            p.drawImage(QPointF(std::round(placed.x()), std::round(placed.y())), scaled);
            p.setCompositionMode(QPainter::CompositionMode_DestinationIn);
            p.drawImage(0, 0, mask);
        }
        const QImage made = TileImageCache::render(source, pixels, radius, Gravity::ResizeAspectFill, 1.0);
        QCOMPARE(made.size(), pixels);
        QVERIFY(qAlpha(made.pixel(0, 0)) < 255);
        QVERIFY(made == expected);
    }

    // A tile on its way out only loses opacity; it stays as sharp and in the
    // same place as a tile at rest with that opacity.
    void fadingTilePaintsAsAStillOne()
    {
        const QImage picture = bands(200, 150, 3);
        const QRectF frame(20.4, 30.3, 150.2, 112.6);
        LayerPtr fadingRoot = Layer::make(), stillRoot = Layer::make();
        LayerPtr fading = tile(frame, picture), still = tile(frame, picture);
        fadingRoot->addSublayer(fading);
        stillRoot->addSublayer(still);

        Animation fade;
        fade.kind = Animation::Basic;
        fade.keyPath = keys::opacity;
        fade.from = 1.0;
        fade.to = 0.0;
        fade.duration = 1.0;
        fading->opacity = 0;
        fading->addAnimation(keys::opacity, fade, 0.0);
        const double now = 0.5;
        QVERIFY(fading->isAnimating(now));
        QVERIFY(!fading->isReshaping(now));
        still->opacity = fading->presentation(now).opacity;
        QVERIFY(still->opacity > 0.2 && still->opacity < 0.8);

        TileImageCache cacheA, cacheB;
        LayerPainter painterA(cacheA), painterB(cacheB);
        QCOMPARE(paintOnce(painterA, *fadingRoot, now), paintOnce(painterB, *stillRoot, now));

        // Moving is another matter: it may be stretched from what it had.
        Animation slide = fade;
        slide.keyPath = keys::position;
        slide.from = QPointF(0, 0);
        slide.to = fading->position;
        fading->addAnimation(keys::position, slide, 0.0);
        QVERIFY(fading->isReshaping(now));
    }

    // A frame where many tiles took new sizes prepares them all before it
    // paints, and paints what a frame of tiles prepared one by one paints.
    void frameOfResizedTilesPaintsTheSame()
    {
        LayerPtr root = Layer::make();
        std::vector<LayerPtr> tiles;
        for (int i = 0; i < 12; ++i) {
            tiles.push_back(tile(QRectF(5 + (i % 4) * 97, 5 + (i / 4) * 95, 90, 88), bands(160, 120, i)));
            root->addSublayer(tiles.back());
        }
        TileImageCache cache;
        LayerPainter painter(cache);
        paintOnce(painter, *root, 0);
        QCOMPARE(cache.count(), 12);
        for (int i = 0; i < 12; ++i)
            tiles[size_t(i)]->setFrame(QRectF(3 + (i % 4) * 99.5, 4 + (i / 4) * 96, 94.5, 91));
        const QImage resized = paintOnce(painter, *root, 0);
        QCOMPARE(cache.count(), 12);
        for (const LayerPtr &t : tiles) {
            TileImageCache::Request r{t->contents, QSize(95, 91), 6.0, Gravity::ResizeAspectFill, true, 1.0};
            QVERIFY(cache.holds(r));
        }
        TileImageCache fresh;
        LayerPainter reference(fresh);
        QCOMPARE(resized, paintOnce(reference, *root, 0));
    }
};

QTEST_MAIN(PainterTest)
#include "tst_painter.moc"
