#include "ManualDecoder.h"
#include "ManualGridClock.h"

#include <ZezevavEri/ScatterGrid.h>

#include <QDir>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>

#include <cmath>

using namespace zezevaveri;

namespace {
QColor colourOf(const QString &id) { return QColor::fromHsv(int(qHash(id) % 360), 200, 230); }

QImage solid(const QString &id, int w, int h)
{
    QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
    image.fill(colourOf(id));
    return image;
}

QList<ScatterItem> mixed(int count)
{
    QList<ScatterItem> items;
    for (int i = 0; i < count; ++i) {
        const double aspect = 0.5 + std::fmod(i * 0.618, 1.8);
        items.append(ScatterItem{QString::number(i), aspect, QStringLiteral("Picture %1").arg(i), QStringLiteral("example.com"), 0, false, false});
    }
    return items;
}

// Pictures go under the test's own home so they survive as artefacts.
void keep(const QImage &image, const QString &name)
{
    const QString home = qEnvironmentVariable("VELLORA_TEST_HOME", QDir::currentPath());
    QDir().mkpath(home + "/screenshots");
    image.save(home + "/screenshots/" + name + ".png");
}

bool near(QRgb pixel, QColor colour, int tolerance = 6)
{
    return std::abs(qRed(pixel) - colour.red()) <= tolerance && std::abs(qGreen(pixel) - colour.green()) <= tolerance &&
           std::abs(qBlue(pixel) - colour.blue()) <= tolerance;
}

const QColor kBackground(30, 30, 30);

struct ViewFixture {
    ManualGridClock clock{50.0};
    ManualDecoder decoder;
    ScatterGridView view{nullptr, clock, &decoder};

    explicit ViewFixture(QSize size)
    {
        view.resize(size);
        view.setContent([](const QString &id, double, bool full) { return full ? solid("full", 400, 400) : solid(id, 120, 120); });
        view.show();
    }
    QImage shot()
    {
        QCoreApplication::processEvents();
        return view.viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    }
    QPoint onScreen(const QPointF &documentPoint) const
    {
        return QPointF(documentPoint.x(), documentPoint.y() - view.verticalScrollBar()->value()).toPoint();
    }
};
} // namespace

class GridViewTest : public QObject {
    Q_OBJECT
private slots:
    void drivesWithoutAWindow()
    {
        // As the self-check does it: never shown, real clock and decode pool.
        ScatterGridView view(QRect(0, 0, 800, 600));
        QList<ScatterItem> items;
        for (int i = 0; i < 4; ++i)
            items.append(ScatterItem{QString::number(i), 1.0, {}, {}, 0, false, i == 2});
        view.setItems(items);
        view.layout();
        QCOMPARE(view.engine().frames().size(), size_t(4));
        QCOMPARE(view.engine().frames()[1].x(), 178.0);
        view.open(QStringLiteral("1"));
        QCOMPARE(view.focusedID().value_or(""), QStringLiteral("1"));
        view.nudgeForward();
        QCOMPARE(view.focusedID().value_or(""), QStringLiteral("3"));
        view.nudgeForward();
        QCOMPARE(view.focusedID().value_or(""), QStringLiteral("3"));
        view.nudgeBack();
        view.nudgeBack();
        view.nudgeBack();
        QCOMPARE(view.focusedID().value_or(""), QStringLiteral("0"));
    }

    void screenshotOfJustifiedRows()
    {
        ViewFixture f(QSize(1200, 800));
        f.view.setItems(mixed(200));
        f.view.layout();
        // The scroll bar that the layout brought narrows the viewport; the
        // grid lays out again for the new width.
        QCoreApplication::processEvents();
        f.decoder.finishAll();
        QVERIFY(f.view.verticalScrollBar()->isVisible());
        QVERIFY(f.view.verticalScrollBar()->maximum() > 0);
        const int W = f.view.viewport()->width();
        QCOMPARE(f.view.engine().host().width(), double(W));
        const QImage image = f.shot();
        keep(image, "rows-200-mixed");
        QCOMPARE(image.width(), W);

        QVERIFY(near(image.pixel(6, 6), kBackground));
        QVERIFY(near(image.pixel(W - 6, 400), kBackground));
        const auto &frames = f.view.engine().frames();
        int rowsChecked = 0;
        for (size_t i = 0; i + 1 < frames.size(); ++i) {
            const QRectF fr = frames[i];
            if (fr.bottom() > 790)
                break;
            const bool endsRow = frames[i + 1].y() != fr.y();
            const int y = int(fr.center().y());
            QVERIFY2(near(image.pixel(int(fr.center().x()), y), colourOf(QString::number(i))), qPrintable(QString::number(i)));
            // Gap to the right: the next tile in the row, or the edge.
            QVERIFY(near(image.pixel(int(fr.right()) + 4, y), kBackground));
            if (endsRow) {
                QVERIFY(std::abs(fr.right() - (W - 14)) < 1e-6);
                QVERIFY(!near(image.pixel(W - 17, y), kBackground));
                QVERIFY(near(image.pixel(W - 11, y), kBackground));
                // The gap under the row.
                QVERIFY(near(image.pixel(int(fr.center().x()), int(fr.bottom()) + 7), kBackground));
                ++rowsChecked;
            }
        }
        QVERIFY(rowsChecked >= 4);
    }

    void screenshotOfTheHoverPill()
    {
        ViewFixture f(QSize(800, 600));
        f.view.setItems(mixed(12));
        f.view.layout();
        f.decoder.finishAll();
        const QRectF frame = f.view.engine().frames()[1];
        QTest::mouseMove(f.view.viewport(), f.onScreen(frame.center()));
        QCOMPARE(f.view.engine().hovered(), f.view.engine().layer("1"));
        f.clock.advance(3);
        const QImage image = f.shot();
        keep(image, "hover-pill");
        // The lifted tile is 2 % larger: its colour reaches past the laid frame.
        const QColor tile = colourOf("1");
        QVERIFY(near(image.pixel(int(frame.left()) - 1, int(frame.center().y())), tile, 10));
        // The pill: dark, centred at the bottom of the tile, with light text.
        const int pillY = int(frame.bottom() - 41.5 + 16);
        QRgb pillPixel = image.pixel(int(frame.center().x()), pillY + 10);
        QVERIFY(qGray(pillPixel) < 50);
        const QRectF pill = f.view.engine().pill()->frame();
        int light = 0;
        for (int x = int(frame.left() + pill.left() + 33); x < int(frame.left() + pill.right()); ++x) {
            for (int y = pillY - 8; y < pillY + 8; ++y)
                light += qGray(image.pixel(x, y)) > 180 ? 1 : 0;
        }
        QVERIFY2(light > 20, qPrintable(QString::number(light)));
        // Outside the pill the tile keeps its own colour.
        QVERIFY(near(image.pixel(int(frame.center().x()), int(frame.top()) + 20), tile, 10));

        // At rest the view stops ticking; a hover change starts it again.
        QTRY_VERIFY(!f.view.isTicking());
        QTest::mouseMove(f.view.viewport(), QPoint(795, 595));
        QVERIFY(!f.view.engine().hovered());
        QVERIFY(f.view.isTicking());
        f.clock.advance(3);
        QTRY_VERIFY(!f.view.isTicking());
    }

    // The pill as a person sees it: a title that fits is drawn whole (a
    // width rounded down to whole points does not cut it), a long one is
    // cut; the link arrow fills its slot; the placeholder icon sits on its
    // grey circle.
    void screenshotOfThePillsParts_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<bool>("external");
        QTest::addColumn<bool>("cut");
        QTest::newRow("short title") << "Aqua.jpg" << false << false;
        QTest::newRow("short title of a link") << "Aqua.jpg" << true << false;
        QTest::newRow("long title of a link") << "A title far too long for the tile it names, by far" << true << true;
    }
    void screenshotOfThePillsParts()
    {
        QFETCH(QString, title);
        QFETCH(bool, external);
        QFETCH(bool, cut);
        ViewFixture f(QSize(800, 600));
        f.view.setItems({ScatterItem{"0", 1.6, title, {}, 0, false, external}});
        f.view.layout();
        f.decoder.finishAll();
        GridEngine &engine = f.view.engine();
        engine.mouseMoved(engine.frames()[0].center());
        QVERIFY(engine.pill()->superlayer());
        f.clock.advance(3);
        const QImage shown = f.view.renderFrame();
        keep(shown, QStringLiteral("pill-") + QString(QTest::currentDataTag()).replace(' ', '-'));

        // The same frame with room to spare for the text differs only where
        // the text was cut.
        const LayerPtr text = engine.pill()->sublayerNamed("pillText");
        const QRectF narrow = text->frame();
        text->setFrame(narrow.adjusted(0, 0, 80, 0));
        const QImage roomy = f.view.renderFrame();
        text->setFrame(narrow);
        QCOMPARE(shown != roomy, cut);

        // Points of the pill in the picture (the tile is lifted by its scale).
        const LayerState tile = engine.layer("0")->presentation(f.clock.now());
        const QRectF pill = engine.pill()->frame();
        auto at = [&](double x, double y) {
            const QPointF p = tile.visualFrame().topLeft() + (pill.topLeft() + QPointF(x, y)) * tile.scale;
            return qGray(shown.pixel(f.onScreen(p)));
        };
        // The circle behind the photo glyph: lighter than the pill beside it.
        const QRectF icon = engine.pill()->sublayerNamed("pillIcon")->frame();
        const int circle = at(icon.left() + 1.5, icon.center().y());
        const int bare = at(pill.width() - 6, 16);
        QVERIFY2(circle - bare > 15, qPrintable(QStringLiteral("%1 vs %2").arg(circle).arg(bare)));
        if (external) {
            // The arrow reaches across its 10-point slot, not a quarter of it.
            const QRectF arrow = engine.pill()->sublayerNamed("pillArrow")->frame();
            int farSide = 0, nearSide = 0;
            for (double x = 0.5; x < 10; x += 1) {
                for (double y = 0.5; y < 10; y += 1) {
                    const bool lit = at(arrow.left() + x, arrow.top() + y) > 120;
                    (x > 5.5 || y > 5.5 ? farSide : nearSide) += lit ? 1 : 0;
                }
            }
            QVERIFY2(farSide >= 4 && nearSide >= 3, qPrintable(QStringLiteral("%1 %2").arg(farSide).arg(nearSide)));
        }
    }

    // The application hands the desktop's setting to the view: from then on
    // the tiles jump (only opacity still fades), the first frame after an
    // open already shows the stage, and the pager neither slides nor shakes.
    void reduceMotionFromTheApplication()
    {
        ViewFixture f(QSize(900, 600));
        f.view.setItems(mixed(20));
        f.view.layout();
        f.decoder.finishAll();
        f.view.setReduceMotion(true);
        f.view.open(QStringLiteral("3"));
        const LayerPtr tile = f.view.engine().opened();
        QCOMPARE(tile->presentationFrame(f.clock.now()), f.view.engine().stageRectFor(3));
        const QImage first = f.shot();
        QVERIFY(near(first.pixel(f.onScreen(f.view.engine().stageRectFor(3).center())), colourOf("3")));
        f.view.nudgeForward();
        QVERIFY(!f.view.engine().opened()->animation(QStringLiteral("page")));
        QCOMPARE(f.view.engine().opened()->presentationFrame(f.clock.now()), f.view.engine().stageRectFor(4));
        f.view.setReduceMotion(false);
        f.view.nudgeForward();
        QVERIFY(f.view.engine().opened()->animation(QStringLiteral("page")));
    }

    void screenshotOfAnOpenedTile()
    {
        ViewFixture f(QSize(1200, 800));
        f.view.setItems(mixed(60));
        f.view.layout();
        f.decoder.finishAll();
        const auto laid = f.view.engine().frames();
        f.view.open(QStringLiteral("14"));
        f.decoder.finishAll(); // the full-resolution image
        // A few frames in: neighbours on their way out.
        f.clock.advance(0.04);
        const QImage moving = f.shot();
        keep(moving, "open-moving");
        int displaced = 0;
        for (int i : {13, 15, 3, 25}) {
            const LayerPtr t = f.view.engine().tiles()[size_t(i)];
            const QRectF now = t->presentationFrame(f.clock.now());
            const QPointF away = now.center() - laid[size_t(i)].center();
            const QPointF dir = laid[size_t(i)].center() - laid[14].center();
            if (away.x() * dir.x() + away.y() * dir.y() > 0)
                ++displaced;
        }
        QCOMPARE(displaced, 4);

        f.clock.advance(1);
        const QImage image = f.shot();
        keep(image, "open-stage");
        const QRectF stage = f.view.engine().stageRectFor(14);
        const QPoint centre = f.onScreen(stage.center());
        QVERIFY(near(image.pixel(centre), colourOf("full")));
        QVERIFY(near(image.pixel(f.onScreen(stage.topLeft() + QPointF(30, 30))), colourOf("full")));
        // Everything else has faded away.
        QVERIFY(near(image.pixel(f.onScreen(stage.topLeft() - QPointF(20, 20))), kBackground));
        QVERIFY(near(image.pixel(5, 5), kBackground));
        QCOMPARE(f.view.accessibilityIdentifier(), QStringLiteral("open:14"));

        // A click anywhere closes; the tiles come back.
        QTest::mouseClick(f.view.viewport(), Qt::LeftButton, {}, QPoint(5, 5));
        QVERIFY(!f.view.engine().opened());
        f.clock.advance(1);
        f.decoder.finishAll();
        const QImage back = f.shot();
        keep(back, "closed");
        QVERIFY(near(back.pixel(f.onScreen(laid[13].center())), colourOf("13")));
    }

    void clicksThroughTheWidget()
    {
        ViewFixture f(QSize(800, 600));
        QList<ScatterItem> items = mixed(8);
        items[5].external = true;
        f.view.setItems(items);
        f.view.layout();
        QStringList activated;
        QList<QStringList> selections;
        f.view.onActivate = [&](const QString &id) { activated << id; };
        f.view.onSelect = [&](const QStringList &ids) { selections << ids; };
        auto centre = [&](int i) { return f.onScreen(f.view.engine().frames()[size_t(i)].center()); };
        QTest::mouseClick(f.view.viewport(), Qt::LeftButton, Qt::ControlModifier, centre(1));
        QTest::mouseClick(f.view.viewport(), Qt::LeftButton, Qt::ShiftModifier, centre(3));
        QCOMPARE(f.view.selected(), (QStringList{"1", "2", "3"}));
        QCOMPARE(selections.size(), 2);
        QTest::mouseClick(f.view.viewport(), Qt::LeftButton, {}, centre(5));
        QCOMPARE(activated, QStringList{"5"});
        QTest::keyClick(&f.view, Qt::Key_A, Qt::ControlModifier);
        QCOMPARE(f.view.selected().size(), 8);
        QTest::mouseClick(f.view.viewport(), Qt::LeftButton, {}, centre(0));
        QCOMPARE(f.view.focusedID().value_or(""), QStringLiteral("0"));
        QTest::keyClick(&f.view, Qt::Key_Escape);
        QVERIFY(!f.view.engine().opened());
    }

    void overlaysFollowTheStageAndTheHover()
    {
        ViewFixture f(QSize(800, 600));
        f.view.setItems(mixed(12));
        f.view.layout();
        auto *stage = new QLabel(QStringLiteral("overlay"));
        f.view.setStageOverlay(stage);
        QPointer<QPushButton> button;
        QString hoveredItem;
        f.view.hoverOverlay = [&](const ScatterItem &item, std::function<void()> open) -> QWidget * {
            hoveredItem = item.id;
            auto *b = new QPushButton(QStringLiteral("Open"));
            QObject::connect(b, &QPushButton::clicked, b, [open] { open(); });
            button = b;
            return b;
        };
        const QRectF frame = f.view.engine().frames()[2];
        QTest::mouseMove(f.view.viewport(), f.onScreen(frame.center()));
        QCOMPARE(hoveredItem, QStringLiteral("2"));
        QVERIFY(f.view.hoverHost()->isVisible());
        QCOMPARE(f.view.hoverHost()->geometry(), frame.toRect());
        QCOMPARE(f.view.engine().hoverOverlayOpacity(), 0.0);
        f.clock.advance(0.2);
        const double halfway = f.view.engine().hoverOverlayOpacity();
        QVERIFY(halfway > 0.3 && halfway <= 1.2);
        f.clock.advance(3);
        QCOMPARE(f.view.engine().hoverOverlayOpacity(), 1.0);

        // Entering the overlay leaves the viewport but keeps the hover;
        // leaving the viewport's area ends it.
        QCursor::setPos(f.view.viewport()->mapToGlobal(f.onScreen(frame.center())));
        QEvent leave(QEvent::Leave);
        QCoreApplication::sendEvent(f.view.viewport(), &leave);
        QCOMPARE(f.view.engine().hovered(), f.view.engine().layer("2"));
        QCursor::setPos(f.view.viewport()->mapToGlobal(QPoint(-50, -50)));
        QCoreApplication::sendEvent(f.view.viewport(), &leave);
        QVERIFY(!f.view.engine().hovered());
        QVERIFY(!f.view.hoverHost()->isVisible());
        QTest::mouseMove(f.view.viewport(), f.onScreen(frame.center()));
        QCOMPARE(f.view.engine().hovered(), f.view.engine().layer("2"));

        // The overlay's own action opens its tile; the stage overlay shows
        // once the open has played.
        QVERIFY(button);
        button->click();
        QCOMPARE(f.view.focusedID().value_or(""), QStringLiteral("2"));
        QVERIFY(!f.view.hoverHost()->isVisible());
        QVERIFY(!stage->isVisible());
        f.clock.advance(0.3);
        QVERIFY(stage->isVisible());
        QCOMPARE(QRectF(stage->geometry()), f.view.engine().stageRectFor(2).translated(0, -f.view.verticalScrollBar()->value()).toRect());
        f.view.nudgeForward();
        QVERIFY(!stage->isVisible());
        f.clock.advance(0.3);
        QVERIFY(stage->isVisible());
        f.view.close();
        QVERIFY(!stage->isVisible());
    }

    // A header that comes to want another height (its wrapped line grew)
    // gets it without anyone asking the grid to lay out, and the first row
    // moves to stay below it.
    void headerThatWantsAnotherHeightGetsIt()
    {
        ViewFixture f(QSize(400, 600));
        auto *header = new QWidget;
        auto *column = new QVBoxLayout(header);
        auto *line = new QLabel(QStringLiteral("short"));
        line->setWordWrap(true);
        column->addWidget(line);
        f.view.setHeaderView(header);
        f.view.setItems(mixed(6));
        f.view.layout();
        QTRY_COMPARE(header->height(), header->heightForWidth(f.view.viewport()->width()));
        const int before = header->height();
        line->setText(QStringLiteral("a line long enough to wrap over several lines in a grid this narrow, "
                                     "which it does at four hundred pixels"));
        QTRY_VERIFY(header->height() > before);
        QTRY_COMPARE(header->height(), header->heightForWidth(f.view.viewport()->width()));
        QVERIFY(f.view.engine().frames().front().top() >= header->height());
    }

    void controllerWaitsForAGrid()
    {
        ScatterGridController controller;
        controller.showNext();     // no grid: nothing
        controller.select({"x"});  // nothing
        controller.open("2");
        controller.open("3");
        QCOMPARE(controller.pending().value_or(""), QStringLiteral("3"));
        ScatterGridView view(QRect(0, 0, 800, 600));
        QList<ScatterItem> items;
        for (int i = 0; i < 5; ++i)
            items.append(ScatterItem{QString::number(i), 1.0, {}, {}, 0, false, false});
        view.setItems(items);
        controller.attach(&view);
        QVERIFY(!controller.pending());
        QCOMPARE(view.pendingOpen().value_or(""), QStringLiteral("3")); // not laid out yet
        view.layout();
        QTRY_COMPARE(view.focusedID().value_or(""), QStringLiteral("3"));
        controller.showNext();
        QCOMPARE(view.focusedID().value_or(""), QStringLiteral("4"));
        controller.showPrevious();
        QCOMPARE(view.focusedID().value_or(""), QStringLiteral("3"));
        controller.close();
        QVERIFY(!view.engine().opened());
        QStringList reported;
        view.onSelect = [&](const QStringList &ids) { reported = ids; };
        controller.select({"1", "0"});
        QCOMPARE(view.selected(), (QStringList{"1", "0"}));
        QCOMPARE(reported, (QStringList{"1", "0"}));
        {
            ScatterGridView *gone = new ScatterGridView(QRect(0, 0, 100, 100));
            controller.attach(gone);
            delete gone;
        }
        QVERIFY(!controller.grid());
        controller.showNext(); // the grid is gone: nothing
    }

    void bridgeUpdatesOnlyWhatChanged()
    {
        ManualGridClock clock(10);
        ManualDecoder decoder;
        ScatterGridView view(nullptr, clock, &decoder);
        view.resize(800, 600);
        ScatterGrid grid;
        grid.items = mixed(6);
        grid.glideKey = QStringLiteral("all");
        QStringList selected;
        grid.onSelect = [&](const QStringList &ids) { selected = ids; };
        ScatterGridController controller;
        grid.controller = &controller;
        ScatterGrid::Coordinator coordinator = grid.makeCoordinator();
        grid.update(view, coordinator);
        view.layout();
        QCOMPARE(controller.grid(), &view);
        QCOMPARE(view.engine().glideUntil(), 0.0); // the key it was made with
        const LayerPtr first = view.engine().tiles()[0];

        // Same items, same key: tiles and glide stay.
        grid.update(view, coordinator);
        QCOMPARE(view.engine().tiles()[0], first);
        QCOMPARE(view.engine().glideUntil(), 0.0);

        // Only a revision changed: the list differs, the layer stays by id.
        grid.items[0].revision = 1;
        grid.update(view, coordinator);
        QCOMPARE(view.items()[0].revision, 1);
        QCOMPARE(view.engine().tiles()[0], first);

        // Hover scale alone does not reach a living grid; the row height does.
        grid.config.hoverScale = 1.5;
        grid.update(view, coordinator);
        QCOMPARE(view.config().hoverScale, 1.02);
        grid.config.rowHeight = 100;
        grid.update(view, coordinator);
        QCOMPARE(view.config().rowHeight, 100.0);
        view.layout();
        QCOMPARE(view.engine().frames()[0].height(), 100.0);

        grid.glideKey = QStringLiteral("inbox");
        grid.update(view, coordinator);
        QCOMPARE(view.engine().glideUntil(), 10.35);

        // The selection reaches the application after the event.
        view.select({"2"});
        QVERIFY(selected.isEmpty());
        QTRY_COMPARE(selected, QStringList{"2"});

        // A header pushes the rows down by its height.
        auto *label = new QLabel(QStringLiteral("Header"));
        label->setFixedHeight(40);
        grid.header = label;
        grid.update(view, coordinator);
        QVERIFY(view.headerView());
        view.layout();
        QCOMPARE(view.engine().frames()[0].y(), 14.0 + 40.0);
        grid.header = nullptr;
        grid.update(view, coordinator);
        QVERIFY(!view.headerView());
        view.layout();
        QCOMPARE(view.engine().frames()[0].y(), 14.0);
        delete coordinator.headerHost.data();
    }

    void decodesRunOnThePool()
    {
        ScatterGridView view(QRect(0, 0, 800, 600));
        QThread *mainThread = QThread::currentThread();
        std::atomic<bool> offMain{true};
        view.setContent([&](const QString &id, double, bool) {
            if (QThread::currentThread() == mainThread)
                offMain = false;
            return solid(id, 32, 32);
        });
        view.setItems(mixed(10));
        view.layout();
        QTRY_VERIFY(!view.engine().tiles()[9]->contents.isNull());
        QVERIFY(offMain);
    }
};

QTEST_MAIN(GridViewTest)
#include "tst_gridview.moc"
