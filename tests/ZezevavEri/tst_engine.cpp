#include "ManualDecoder.h"
#include "ManualGridClock.h"
#include "SimpleGridHost.h"

#include <ZezevavEri/GridEngine.h>
#include <ZezevavEri/LayerPainter.h>

#include <QSignalSpy>
#include <QTest>

#include <thread>

#include <algorithm>
#include <numeric>

using namespace zezevaveri;

namespace {
ScatterItem item(const QString &id, double aspect = 1.0, bool external = false, const QString &title = {})
{
    return ScatterItem{id, aspect, title, {}, 0, false, external};
}

std::vector<ScatterItem> numbered(int count, double aspect = 1.0)
{
    std::vector<ScatterItem> items;
    for (int i = 0; i < count; ++i)
        items.push_back(item(QString::number(i), aspect, false, QStringLiteral("Tile %1").arg(i)));
    return items;
}

QImage solid(int w, int h, QColor colour)
{
    QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
    image.fill(colour);
    return image;
}

// Black and white columns, `period` pixels a pair: fine detail that only a
// picture drawn from enough pixels keeps.
QImage stripes(int side, int period)
{
    QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < side; ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < side; ++x)
            line[x] = (x / (period / 2)) % 2 ? qRgb(255, 255, 255) : qRgb(0, 0, 0);
    }
    return image;
}

// One engine on virtual time, a manual decoder and a fixed 800 × 600 window.
struct Fixture {
    ManualGridClock clock{100.0};
    ManualDecoder decoder;
    SimpleGridHost host{800, 600};
    GridEngine engine{host, clock, &decoder};
    QList<std::optional<QString>> opens;
    QList<QStringList> selections;
    QStringList activations;
    QList<std::pair<QString, bool>> asked;

    Fixture()
    {
        engine.onOpen = [this](const std::optional<QString> &id) { opens.append(id); };
        engine.onSelect = [this](const QStringList &ids) { selections.append(ids); };
        engine.onActivate = [this](const QString &id) { activations.append(id); };
        engine.content = [this](const QString &id, double, bool full) {
            asked.append({id, full});
            return solid(full ? 64 : 16, full ? 64 : 16, full ? Qt::red : Qt::blue);
        };
    }
    // Lets every animation run out.
    void settle() { clock.advance(5); }
    QRectF frameOf(const QString &id) const { return engine.layer(id)->frame(); }
    QPointF centreOf(const QString &id) const { return engine.frames()[size_t(engine.indexOf(id))].center(); }
};
} // namespace

class EngineTest : public QObject {
    Q_OBJECT
private slots:
    void pagerStepsOverExternalTiles()
    {
        Fixture f;
        std::vector<ScatterItem> items = numbered(4);
        items[2].external = true;
        f.engine.setItems(items);
        f.engine.layout();
        f.engine.open(QStringLiteral("1"));
        QCOMPARE(f.engine.focusedID().value_or(""), QStringLiteral("1"));
        f.settle();

        f.engine.nudgeForward();
        QCOMPARE(f.engine.focusedID().value_or(""), QStringLiteral("3"));
        QVERIFY(!f.engine.staged());
        f.settle();

        f.engine.nudgeForward();
        QCOMPARE(f.engine.focusedID().value_or(""), QStringLiteral("3"));
        QVERIFY(f.engine.opened()->animation(QStringLiteral("nudge")));
        // The bump is additive: halfway through it the tile sits 24 points left.
        const double home = f.engine.opened()->position.x();
        QCOMPARE(f.engine.opened()->presentation(f.clock.now() + 0.125).position.x(), home - 24);
        f.settle();

        for (int i = 0; i < 3; ++i)
            f.engine.nudgeBack();
        QCOMPARE(f.engine.focusedID().value_or(""), QStringLiteral("0"));
        QCOMPARE(f.opens, (QList<std::optional<QString>>{QString("1"), QString("3"), QString("1"), QString("0")}));
        f.settle();
        // The staged layers that carried the old images away are gone.
        int stagedLeft = 0;
        for (const auto &l : f.engine.rootLayer()->sublayers())
            stagedLeft += f.engine.indexOf(l.get()) < 0 ? 1 : 0;
        QCOMPARE(stagedLeft, 0);
    }

    // Removals in any pattern leave the others in the order they were added,
    // each knowing its place; a layer added again goes on top.
    void sublayersKeepTheirOrderThroughRemovals_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("pattern");
        QTest::newRow("every other") << 200 << "odd";
        QTest::newRow("first half, one by one") << 200 << "front";
        QTest::newRow("from the top down") << 200 << "back";
        QTest::newRow("all but one") << 50 << "keep7";
        QTest::newRow("a few") << 40 << "tens";
    }
    void sublayersKeepTheirOrderThroughRemovals()
    {
        QFETCH(int, count);
        QFETCH(QString, pattern);
        const LayerPtr root = Layer::make("root");
        std::vector<LayerPtr> all;
        for (int i = 0; i < count; ++i) {
            all.push_back(Layer::make(QString::number(i)));
            root->addSublayer(all.back());
        }
        auto removed = [&](int i) {
            if (pattern == "odd")
                return i % 2 == 1;
            if (pattern == "front")
                return i < count / 2;
            if (pattern == "back")
                return i >= count / 4;
            if (pattern == "keep7")
                return i != 7;
            return i % 10 == 0;
        };
        std::vector<int> order(static_cast<size_t>(count));
        std::iota(order.begin(), order.end(), 0);
        if (pattern == "back")
            std::reverse(order.begin(), order.end());
        QStringList expected;
        for (int i : order)
            if (removed(i))
                all[size_t(i)]->removeFromSuperlayer();
        for (int i = 0; i < count; ++i)
            if (!removed(i))
                expected << QString::number(i);
        // Removed twice: nothing more happens.
        for (int i = 0; i < count; ++i)
            if (removed(i))
                all[size_t(i)]->removeFromSuperlayer();

        auto names = [&] {
            QStringList out;
            for (const LayerPtr &l : root->sublayers())
                out << l->name;
            return out;
        };
        QCOMPARE(names(), expected);
        for (int i = 0; i < count; ++i) {
            QCOMPARE(all[size_t(i)]->superlayer(), removed(i) ? nullptr : root.get());
            QCOMPARE(root->hasSublayer(all[size_t(i)].get()), !removed(i));
        }
        // Every survivor still leaves from its own place.
        const LayerPtr first = root->sublayerNamed(expected.first());
        first->removeFromSuperlayer();
        root->addSublayer(first);
        expected.append(expected.takeFirst());
        QCOMPARE(names(), expected);
        all[size_t(expected.last().toInt())]->removeFromSuperlayer();
        expected.removeLast();
        QCOMPARE(names(), expected);
        QVERIFY(!root->sublayerNamed(QString::number(count)));
    }

    // A sublayer that only its superlayer holds can leave it (a tile dropped
    // once its fade ends).
    void aLayerHeldOnlyByItsSuperlayerLeavesIt()
    {
        const LayerPtr root = Layer::make("root");
        std::weak_ptr<Layer> weak;
        for (int i = 0; i < 40; ++i) {
            LayerPtr l = Layer::make(QString::number(i));
            l->addSublayer(Layer::make("spinner"));
            root->addSublayer(l);
            if (i == 20)
                weak = l;
        }
        Layer *raw = weak.lock().get();
        raw->removeFromSuperlayer();
        QVERIFY(weak.expired());
        QCOMPARE(root->sublayers().size(), size_t(39));
        QVERIFY(!root->sublayerNamed("20"));
    }

    // A large list changed by position: the new order is the old one with
    // the removed taken out and the inserted put in; only tiles near the
    // visible area are made; a tile that can be seen fades out, one that
    // cannot is dropped at once; the layout equals one from scratch and the
    // selection marks follow onto tiles made later.
    void positionalChangeOfALargeList_data()
    {
        QTest::addColumn<int>("step");    // every step-th item leaves
        QTest::addColumn<int>("inserts"); // then this many come in at the front
        // the lists the change fills were made on another thread beforehand
        QTest::addColumn<bool>("roomAhead");
        QTest::newRow("most leave") << 1 << 0 << false;
        QTest::newRow("every other leaves") << 2 << 0 << false;
        QTest::newRow("a few leave, many come") << 50 << 3000 << false;
        QTest::newRow("none leave, some come") << 0 << 40 << false;
        QTest::newRow("most leave, room made ahead") << 1 << 0 << true;
        QTest::newRow("a few leave, many come, room made ahead") << 50 << 3000 << true;
    }
    void positionalChangeOfALargeList()
    {
        QFETCH(int, step);
        QFETCH(int, inserts);
        QFETCH(bool, roomAhead);
        Fixture f;
        const int count = 6000;
        std::vector<ScatterItem> items = numbered(count, 1.3);
        f.engine.setItems(items);
        if (roomAhead) {
            GridEngine::SpareRoom room;
            std::thread([&room] { room = GridEngine::makeSpareRoom(count); }).join();
            f.engine.adoptSpareRoom(std::move(room));
            const size_t held = f.engine.spareRoom();
            QVERIFY(held >= size_t(count + count / 4));
            // A smaller room is not taken in place of the larger.
            f.engine.adoptSpareRoom(GridEngine::makeSpareRoom(10));
            QCOMPARE(f.engine.spareRoom(), held);
        }
        f.engine.select({QStringLiteral("1"), QStringLiteral("5000")});
        f.engine.layout();
        f.settle();
        auto made = [&] {
            return std::count_if(f.engine.tiles().begin(), f.engine.tiles().end(), [](const LayerPtr &t) { return bool(t); });
        };
        QVERIFY(made() > 0);
        QVERIFY(made() < 200);
        const LayerPtr seen = f.engine.layer(QStringLiteral("0"));
        QVERIFY(seen);

        std::vector<size_t> removed;
        std::vector<ScatterItem> expected;
        for (int i = 0; i < count; ++i) {
            if (step > 0 && i % step == 0 && i != 1 && i != 5000)
                removed.push_back(size_t(i));
            else
                expected.push_back(items[size_t(i)]);
        }
        std::vector<std::pair<size_t, ScatterItem>> inserted;
        for (int i = 0; i < inserts; ++i) {
            ScatterItem extra = item(QStringLiteral("new%1").arg(i), 0.7);
            inserted.push_back({size_t(i), extra});
            expected.insert(expected.begin() + i, extra);
        }
        f.engine.applyPositionalChange(removed, std::move(inserted));
        QCOMPARE(f.engine.items(), expected);
        QCOMPARE(f.engine.tiles().size(), expected.size());
        // The first tile was on screen: it fades; none far below is kept.
        if (step > 0) {
            QVERIFY(f.engine.fading().contains(QStringLiteral("0")));
            QVERIFY(!f.engine.layer(QStringLiteral("0")));
            QVERIFY(f.engine.fading().size() < 200);
        }
        f.engine.layout();
        std::vector<double> aspects;
        for (const auto &i : expected)
            aspects.push_back(i.aspect);
        QCOMPARE(f.engine.frames(), justifiedLayout(aspects, 800, 150, 14).frames);
        QVERIFY(made() < 200);
        for (size_t i = 0; i < expected.size(); ++i) {
            if (const LayerPtr &t = f.engine.tiles()[i]) {
                QCOMPARE(t->name, expected[i].id);
                QCOMPARE(t->frame(), f.engine.frames()[i]);
            }
        }
        f.settle();
        // Scrolled to a selected item far down, its tile is made marked.
        f.engine.scrollTo(QStringLiteral("5000"));
        f.engine.visibleChanged();
        const LayerPtr far = f.engine.layer(QStringLiteral("5000"));
        QVERIFY(far);
        QCOMPARE(far->borderWidth, 3.0);
        QCOMPARE(far->scale, GridEngine::kSelectedScale);
        QCOMPARE(f.engine.selected(), (QStringList{"1", "5000"}));
        // Dropped and faded tiles are out of the tree once the fades end.
        for (const auto &l : f.engine.rootLayer()->sublayers())
            QVERIFY(l->name == QStringLiteral("pill") || f.engine.indexOf(l.get()) >= 0);
    }

    void positionalChangeClosesAnOpenedTileThatLeaves()
    {
        Fixture f;
        f.engine.setItems(numbered(3000));
        f.engine.layout();
        f.engine.open(QStringLiteral("2"));
        f.settle();
        f.engine.applyPositionalChange({1, 2}, {});
        QVERIFY(!f.engine.opened());
        QCOMPARE(f.opens.last(), std::nullopt);
        QCOMPARE(f.engine.items().size(), size_t(2998));
        QCOMPARE(f.engine.items()[1].id, QStringLiteral("3"));
    }

    void pagerCommitSlidesTheNewTileIn()
    {
        Fixture f;
        f.engine.setItems(numbered(3));
        f.engine.layout();
        f.engine.open(QStringLiteral("0"));
        f.settle();
        f.engine.nudgeForward();
        const LayerPtr now = f.engine.opened();
        QCOMPARE(now->name, QStringLiteral("1"));
        // It starts one page (visible width + 24) to the right and slides to 0.
        const Animation *page = now->animation(QStringLiteral("page"));
        QVERIFY(page);
        QCOMPARE(std::get<double>(*page->from), 824.0);
        QCOMPARE(now->translationX, 0.0);
        QCOMPARE(now->frame(), f.engine.stageRectFor(1));
        f.settle();
        QCOMPARE(now->presentation(f.clock.now()).translationX, 0.0);
    }

    void openBeforeLayoutWaits()
    {
        Fixture f;
        f.engine.open(QStringLiteral("2"));
        QCOMPARE(f.engine.pendingOpen().value_or(""), QStringLiteral("2"));
        f.engine.setItems(numbered(4));
        f.engine.open(QStringLiteral("3")); // laid out not yet: replaces the pending id
        QCOMPARE(f.engine.pendingOpen().value_or(""), QStringLiteral("3"));
        f.engine.layout();
        QVERIFY(!f.engine.pendingOpen());
        QVERIFY(!f.engine.opened()); // opened on the next turn of the loop
        f.clock.flush();
        QCOMPARE(f.engine.focusedID().value_or(""), QStringLiteral("3"));
        QCOMPARE(f.host.accessibilityIdentifier, QStringLiteral("open:3"));
        f.engine.open(QStringLiteral("3"));
        QCOMPARE(f.opens.size(), 1);
    }

    void openZeroWidthWaits()
    {
        Fixture f;
        f.host.setSize(0, 600);
        f.engine.setItems(numbered(2));
        f.engine.layout();
        f.engine.open(QStringLiteral("1"));
        QVERIFY(!f.engine.opened());
        f.host.setSize(800, 600);
        f.engine.layout();
        f.clock.flush();
        QCOMPARE(f.engine.focusedID().value_or(""), QStringLiteral("1"));
    }

    void openLiftsOntoTheStageAndPushesNeighbours()
    {
        Fixture f;
        f.engine.setItems(numbered(30));
        f.engine.layout();
        const std::vector<QRectF> laid = f.engine.frames();
        f.engine.open(QStringLiteral("10"));
        const LayerPtr tile = f.engine.opened();
        const QRectF stage = f.engine.stageRectFor(10);
        QCOMPARE(tile->frame(), stage);
        QCOMPARE(tile->cornerRadius, 12.0);
        QCOMPARE(tile->zPosition, 1.0);
        // The springs play out in openDuration: not yet at 0.29 s, there at 0.3 s.
        const double begin = f.clock.now();
        QVERIFY(tile->presentationFrame(begin + 0.15) != stage);
        QVERIFY(f.engine.isAnimating());
        f.clock.advance(0.3);
        QVERIFY(!tile->animation(keys::position) && !tile->animation(keys::bounds));
        QCOMPARE(tile->presentationFrame(f.clock.now()), stage);
        // Stage overlay appears openDuration after the open.
        QVERIFY(f.host.stageOverlay);
        QCOMPARE(*f.host.stageOverlay, stage);
        QCOMPARE(f.host.headerAlpha, 0.0);

        int pushed = 0;
        for (size_t i = 0; i < f.engine.tiles().size(); ++i) {
            if (i == 10)
                continue;
            const LayerPtr &t = f.engine.tiles()[i];
            QCOMPARE(t->opacity, 0.0);
            if (t->frame() != laid[i]) {
                ++pushed;
                // Away from the opened tile's centre.
                const QPointF out = t->frame().center() - laid[i].center();
                const QPointF dir = laid[i].center() - laid[10].center();
                QVERIFY(out.x() * dir.x() + out.y() * dir.y() > 0);
            }
        }
        QVERIFY(pushed > 20);

        f.engine.close();
        QCOMPARE(f.opens.last(), std::optional<QString>());
        QVERIFY(!f.host.stageOverlay);
        QCOMPARE(f.host.headerAlpha, 1.0);
        f.clock.advance(0.3);
        for (size_t i = 0; i < f.engine.tiles().size(); ++i) {
            QCOMPARE(f.engine.tiles()[i]->frame(), laid[i]);
            QCOMPARE(f.engine.tiles()[i]->presentation(f.clock.now()).opacity, 1.0);
        }
        QCOMPARE(tile->zPosition, 0.0);
        QCOMPARE(f.host.accessibilityIdentifier, QString());
    }

    void reduceMotionJumpsEverythingButOpacity()
    {
        Fixture f;
        f.host.setReduceMotion(true);
        f.engine.setItems(numbered(12));
        f.engine.layout();
        f.engine.open(QStringLiteral("5"));
        const LayerPtr tile = f.engine.opened();
        QVERIFY(!tile->animation(keys::position) && !tile->animation(keys::bounds) && !tile->animation(keys::cornerRadius));
        QCOMPARE(tile->presentationFrame(f.clock.now()), f.engine.stageRectFor(5));
        const LayerPtr other = f.engine.tiles()[0];
        QVERIFY(other->animation(keys::opacity));
        QVERIFY(!other->animation(keys::position));
        f.settle();
        f.engine.nudge(+1);
        QVERIFY(!f.engine.opened()->animation(QStringLiteral("page")));
        // No neighbour: no bump either.
        f.engine.open(QStringLiteral("11"));
        f.engine.nudgeForward();
        QVERIFY(!f.engine.opened()->animation(QStringLiteral("nudge")));
    }

    void nothingMovesWhileOpen()
    {
        Fixture f;
        f.engine.setItems(numbered(10));
        f.engine.layout();
        f.engine.open(QStringLiteral("0"));
        f.settle();
        const QRectF before = f.frameOf("3");
        f.host.setSize(500, 600);
        f.engine.layout();
        QCOMPARE(f.frameOf("3"), before);
        f.engine.close();
        f.settle();
        f.engine.layout();
        QCOMPARE(f.frameOf("3"), f.engine.frames()[3]);
        QVERIFY(f.engine.frames()[3] != before);
    }

    void changesWhileOpenApplyOnClose()
    {
        Fixture f;
        f.engine.setItems(numbered(10));
        f.engine.layout();
        f.engine.open(QStringLiteral("5"));
        f.settle();
        std::vector<ScatterItem> items = numbered(10);
        items.erase(items.begin()); // "0" leaves
        items.push_back(item(QStringLiteral("new"), 3.0));
        f.engine.setItems(items);
        f.host.setSize(600, 600);
        f.engine.layout(); // skipped: a tile is open
        QCOMPARE(f.engine.layer("new")->frame(), QRectF());
        f.engine.close();
        f.settle();
        const JustifiedLayout expected = justifiedLayout(std::vector<double>{1, 1, 1, 1, 1, 1, 1, 1, 1, 3}, 600, 150, 14);
        for (size_t i = 0; i < f.engine.tiles().size(); ++i) {
            QCOMPARE(f.engine.tiles()[i]->frame(), expected.frames[i]);
            QCOMPARE(f.engine.tiles()[i]->presentation(f.clock.now()).opacity, 1.0);
        }
        QCOMPARE(f.host.documentHeight(), std::max(expected.height, 600.0));
    }

    void glideAnimatesOnlyTilesThatHadAFrame()
    {
        Fixture f;
        f.engine.setItems(numbered(6));
        f.engine.layout();
        // Without a glide deadline a new layout jumps.
        f.host.setSize(700, 600);
        f.engine.layout();
        QVERIFY(!f.engine.layer("1")->animation(keys::position));
        QCOMPARE(f.frameOf("1"), f.engine.frames()[1]);

        std::vector<ScatterItem> items = numbered(6);
        items.insert(items.begin(), item(QStringLiteral("new"), 2.0));
        f.engine.setItems(items);
        f.engine.setGlideUntil(f.clock.now() + 0.35);
        f.engine.layout();
        QVERIFY(f.engine.layer("1")->animation(keys::position));
        QVERIFY(!f.engine.layer("new")->animation(keys::position));
        QCOMPARE(f.frameOf("new"), f.engine.frames()[0]);
        f.clock.advance(0.3);
        QCOMPARE(f.engine.layer("1")->presentationFrame(f.clock.now()), f.engine.frames()[2]);
        // Past the deadline layouts jump again.
        f.clock.advance(0.1);
        f.host.setSize(800, 600);
        f.engine.layout();
        QVERIFY(!f.engine.layer("1")->animation(keys::position));
    }

    void rebuildKeepsLayersById()
    {
        Fixture f;
        f.engine.setItems(numbered(4));
        f.engine.layout();
        f.decoder.finishAll();
        const LayerPtr two = f.engine.layer("2");
        QVERIFY(!two->contents.isNull());

        std::vector<ScatterItem> items = numbered(4);
        std::reverse(items.begin(), items.end());
        items[0].revision = 7; // "3" changes its image
        items.pop_back();      // "0" leaves
        items[1].loading = true;
        f.engine.setItems(items);
        QCOMPARE(f.engine.layer("2"), two);
        QCOMPARE(f.engine.tiles()[1], two);
        QVERIFY(two->sublayerNamed("spinner"));
        QVERIFY(!two->contents.isNull());
        QVERIFY(f.engine.layer("3")->contents.isNull());
        QVERIFY(f.engine.fading().contains("0"));
        QCOMPARE(int(f.engine.tiles().size()), 3);

        f.engine.layout();
        QCOMPARE(f.decoder.waiting().size(), size_t(1));
        QCOMPARE(f.decoder.waiting()[0].request.key, QStringLiteral("3#7"));
        f.settle();
        QVERIFY(!f.engine.fading().contains("0"));
        for (const auto &l : f.engine.rootLayer()->sublayers())
            QVERIFY(l->name != "0");

        items[1].loading = false;
        f.engine.setItems(items);
        QVERIFY(!two->sublayerNamed("spinner"));

        // Removed and back before the fade ended: the same layer, fully shown.
        std::vector<ScatterItem> without = items;
        without.erase(without.begin() + 1);
        f.engine.setItems(without);
        QVERIFY(f.engine.fading().contains("2"));
        f.clock.advance(0.1);
        f.engine.setItems(items);
        QCOMPARE(f.engine.layer("2"), two);
        QVERIFY(!f.engine.fading().contains("2"));
        f.settle();
        QCOMPARE(two->presentation(f.clock.now()).opacity, 1.0);
        QVERIFY(f.engine.rootLayer()->hasSublayer(two.get()));
        int named2 = 0;
        for (const auto &l : f.engine.rootLayer()->sublayers())
            named2 += l->name == "2" ? 1 : 0;
        QCOMPARE(named2, 1);
    }

    void openedItemLeavingClosesTheGrid()
    {
        Fixture f;
        f.engine.setItems(numbered(4));
        f.engine.layout();
        f.engine.open(QStringLiteral("2"));
        f.engine.mouseMoved(QPointF(20, 20));
        std::vector<ScatterItem> items = numbered(4);
        items.erase(items.begin() + 2);
        f.engine.setItems(items);
        QVERIFY(!f.engine.opened());
        QCOMPARE(f.opens.last(), std::optional<QString>());
        f.engine.layout();
        // Pager and focus keep working on the remaining tiles.
        f.engine.open(QStringLiteral("3"));
        f.engine.nudgeBack();
        QCOMPARE(f.engine.focusedID().value_or(""), QStringLiteral("1"));
    }

    void pillOutlivesTheTileItWasOn()
    {
        // The pill stays on the last hovered tile; when that tile is dropped
        // the pill must not point at it, or the next hover touches freed memory.
        Fixture f;
        f.engine.setItems(numbered(3));
        f.engine.layout();
        f.engine.mouseMoved(f.centreOf("1"));
        QCOMPARE(f.engine.pill()->superlayer(), f.engine.layer("1").get());
        std::vector<ScatterItem> items = numbered(3);
        items.erase(items.begin() + 1);
        f.engine.setItems(items);
        f.engine.layout();
        f.settle();
        QVERIFY(!f.engine.fading().contains("1"));
        QCOMPARE(f.engine.pill()->superlayer(), nullptr);
        f.engine.mouseMoved(f.centreOf("2"));
        QCOMPARE(f.engine.pill()->superlayer(), f.engine.layer("2").get());
    }

    void aStalePressNeverOpens()
    {
        Fixture f;
        f.engine.setItems(numbered(4));
        f.engine.layout();
        const QPointF first = f.centreOf("0");
        f.engine.mouseDown(first);
        QCOMPARE(f.engine.pressedID().value_or(""), QStringLiteral("0"));
        // The release was lost (it happened outside); a press on empty space
        // must not leave the earlier press behind.
        f.engine.mouseDown(QPointF(790, 590));
        QVERIFY(!f.engine.pressedID());
        f.engine.mouseUp(NoModifier);
        QVERIFY(!f.engine.opened());

        f.engine.mouseDown(first);
        f.engine.dragStarted();
        f.engine.mouseUp(NoModifier);
        QVERIFY(!f.engine.opened());

        f.engine.mouseDown(f.centreOf("1"));
        f.engine.mouseUp(NoModifier);
        QCOMPARE(f.engine.focusedID().value_or(""), QStringLiteral("1"));
        // Any click while open only closes.
        f.engine.mouseDown(f.centreOf("3"));
        QVERIFY(!f.engine.opened());
        QVERIFY(!f.engine.pressedID());
    }

    void clicksChangeTheSelection()
    {
        Fixture f;
        std::vector<ScatterItem> items = numbered(6);
        items[4].external = true;
        f.engine.setItems(items);
        f.engine.layout();
        auto click = [&](const char *id, int modifiers) {
            f.engine.mouseDown(f.centreOf(id));
            f.engine.mouseUp(modifiers);
        };
        click("1", CommandModifier);
        click("3", ShiftModifier);
        QCOMPARE(f.engine.selected(), (QStringList{"1", "2", "3"}));
        QCOMPARE(f.selections.last(), (QStringList{"1", "2", "3"}));
        QCOMPARE(f.engine.layer("2")->scale, GridEngine::kSelectedScale);
        QVERIFY(f.engine.layer("2")->borderWidth > 0);
        click("2", CommandModifier);
        QCOMPARE(f.engine.selected(), (QStringList{"1", "3"}));
        QCOMPARE(f.engine.layer("2")->scale, 1.0);
        QCOMPARE(f.engine.focusedID().value_or(""), QStringLiteral("3"));
        click("4", NoModifier);
        QCOMPARE(f.activations, QStringList{"4"});
        QVERIFY(!f.engine.opened());

        const int reports = f.selections.size();
        f.engine.select({"1", "3"});
        QCOMPARE(f.selections.size(), reports); // same list: no report
        f.engine.selectAll();
        QCOMPARE(f.engine.selected(), (QStringList{"0", "1", "2", "3", "4", "5"}));
        f.engine.mouseDown(QPointF(795, 595));
        QVERIFY(f.engine.selected().isEmpty());
        QCOMPARE(f.engine.layer("0")->borderWidth, 0.0);

        click("0", NoModifier);
        f.engine.selectAll(); // nothing while open
        QVERIFY(f.engine.selected().isEmpty());
    }

    void hoverLiftsAndShowsThePill()
    {
        Fixture f;
        std::vector<ScatterItem> items = numbered(3);
        items[1].title.clear();
        items[2].external = true;
        f.engine.setItems(items);
        f.engine.layout();
        f.engine.mouseMoved(f.centreOf("0"));
        const LayerPtr zero = f.engine.layer("0");
        QCOMPARE(f.engine.hovered(), zero);
        QCOMPARE(zero->scale, 1.02);
        QVERIFY(zero->hasSublayer(f.engine.pill().get()));
        QCOMPARE(f.engine.pill()->opacity, 1.0);
        QCOMPARE(f.engine.pill()->frame().bottom(), 150 - 41.5 + 32);
        QCOMPARE(f.engine.focusedID().value_or(""), QStringLiteral("0"));

        f.engine.mouseMoved(f.centreOf("1")); // no title: lifts, no pill
        QCOMPARE(zero->scale, 1.0);
        QCOMPARE(f.engine.layer("1")->scale, 1.02);
        QVERIFY(!f.engine.layer("1")->hasSublayer(f.engine.pill().get()));
        QCOMPARE(f.engine.pill()->opacity, 0.0);

        f.engine.mouseMoved(f.centreOf("2"));
        const double externalWidth = f.engine.pill()->frame().width();
        QVERIFY(!f.engine.pill()->sublayerNamed("pillArrow")->hidden);
        f.engine.mouseMoved(f.centreOf("0"));
        QVERIFY(f.engine.pill()->sublayerNamed("pillArrow")->hidden);
        QCOMPARE(externalWidth - f.engine.pill()->frame().width(), 24.0 + 0.0 * 0); // same title width
        // A selected tile keeps its mark when the pointer leaves.
        f.engine.select({"0"});
        f.engine.mouseExited();
        QCOMPARE(zero->scale, GridEngine::kSelectedScale);

        f.engine.open(QStringLiteral("1"));
        f.engine.mouseMoved(f.centreOf("0"));
        QVERIFY(!f.engine.hovered());
    }

    // The page step's outgoing layer carries the old picture and nothing
    // else, for the whole slide, even when the incoming picture's sharp image
    // arrived while it was staged and began a cross-fade there.
    void pagerOutgoingShowsOnlyTheOldPicture()
    {
        Fixture f;
        const QList<QColor> colours{Qt::red, Qt::green, Qt::blue};
        f.engine.content = [colours](const QString &id, double, bool full) {
            return solid(full ? 64 : 16, full ? 64 : 16, colours[id.toInt()].darker(full ? 100 : 200));
        };
        f.engine.setItems(numbered(3));
        f.engine.layout();
        f.decoder.finishAll(); // thumbnails
        f.engine.open(QStringLiteral("0"));
        f.decoder.finishAll(); // "0" and the prefetched "1", sharp
        f.settle();
        const QImage old = f.engine.opened()->contents;
        QCOMPARE(old.pixelColor(0, 0), QColor(Qt::red));

        f.engine.nudgeForward();
        // The layer that slides out is the pager's own, not a tile.
        LayerPtr outgoing;
        for (const auto &layer : f.engine.rootLayer()->sublayers()) {
            if (layer->name != QStringLiteral("pill") && layer != f.engine.layer(layer->name))
                outgoing = layer;
        }
        QVERIFY(outgoing);
        const LayerPtr incoming = f.engine.opened();
        const double start = f.clock.now();
        for (double t : {0.0, 0.05, 0.1, 0.14}) {
            f.clock.advance(start + t - f.clock.now());
            const Animation *fade = outgoing->animation(QStringLiteral("fade"));
            QVERIFY2(!fade || fade->finished(f.clock.now()), qPrintable(QString::number(t)));
            QCOMPARE(outgoing->contents.cacheKey(), old.cacheKey());
            QVERIFY(outgoing->previousContents.isNull());
            QCOMPARE(incoming->contents.pixelColor(0, 0), QColor(Qt::green));
        }
        f.settle();
        QVERIFY(!outgoing->superlayer()); // slid out and gone
    }

    // The scale every tile rests at follows from its state alone: opened
    // 1.0, hovered the hover scale, selected 0.96, else 1.0, whatever path
    // led there.
    void scaleFollowsState_data()
    {
        QTest::addColumn<QString>("steps");
        QTest::addColumn<double>("scale");
        QTest::newRow("passed over") << "hover leave" << 1.0;
        QTest::newRow("selected, passed over") << "select hover leave" << GridEngine::kSelectedScale;
        QTest::newRow("selected under the pointer") << "select hover" << 1.02;
        QTest::newRow("selected while hovered, then left") << "hover select leave" << GridEngine::kSelectedScale;
        QTest::newRow("selected and opened from the hover") << "select hover open" << 1.0;
        QTest::newRow("selected, opened, closed") << "select hover open close" << GridEngine::kSelectedScale;
        QTest::newRow("opened, closed") << "hover open close" << 1.0;
        QTest::newRow("selected, paged onto") << "select openPrevious page" << 1.0;
        QTest::newRow("selected, paged past, closed") << "select openPrevious page page close" << GridEngine::kSelectedScale;
        QTest::newRow("deselected on stage, closed") << "select open deselect close" << 1.0;
    }
    void scaleFollowsState()
    {
        QFETCH(QString, steps);
        QFETCH(double, scale);
        Fixture f;
        f.engine.setItems(numbered(4));
        f.engine.layout();
        for (const QString &step : steps.split(' ')) {
            if (step == "hover")
                f.engine.mouseMoved(f.centreOf("1"));
            else if (step == "leave")
                f.engine.mouseExited();
            else if (step == "select")
                f.engine.select({"1"});
            else if (step == "deselect")
                f.engine.select({});
            else if (step == "open")
                f.engine.open("1");
            else if (step == "openPrevious")
                f.engine.open("0");
            else if (step == "page")
                f.engine.nudgeForward();
            else if (step == "close")
                f.engine.close();
            f.settle();
        }
        const LayerPtr tile = f.engine.layer("1");
        QCOMPARE(tile->scale, scale);
        QCOMPARE(tile->presentation(f.clock.now()).scale, scale);
    }

    // A new window size moves the open tile onto the new stage (and the
    // overlay with it, and asks for more pixels when the stage grew); the
    // tiles behind stay where they were until the close.
    void resizeWhileOpenRestages()
    {
        Fixture f;
        f.engine.setItems(numbered(12, 1.5));
        f.engine.layout();
        f.engine.open(QStringLiteral("4"));
        f.decoder.finishAll();
        f.settle();
        QVERIFY(f.host.stageOverlay);
        const QRectF behind = f.frameOf("0");

        f.host.setSize(1400, 900);
        f.engine.layout();
        const QRectF stage = f.engine.stageRectFor(4);
        QCOMPARE(stage, stageRect(1.5, QRectF(0, f.host.scrollY(), 1400, 900)));
        QCOMPARE(f.engine.opened()->frame(), stage);
        QCOMPARE(*f.host.stageOverlay, stage);
        QCOMPARE(f.frameOf("0"), behind);
        QCOMPARE(int(f.decoder.waiting().size()), 1);
        QVERIFY(f.decoder.waiting()[0].request.fullResolution);
        QCOMPARE(f.decoder.waiting()[0].request.pixels, std::ceil(stage.width() * 2));
        f.engine.layout(); // the same size again asks nothing more
        QCOMPARE(int(f.decoder.waiting().size()), 1);

        // Resized while it still lifts: it lands on the new stage.
        f.engine.close();
        f.settle();
        f.engine.open(QStringLiteral("5"));
        f.clock.advance(0.05);
        f.host.setSize(700, 500);
        f.engine.layout();
        f.settle();
        QCOMPARE(f.engine.opened()->presentationFrame(f.clock.now()), f.engine.stageRectFor(5));
        QCOMPARE(f.engine.stageRectFor(5), stageRect(1.5, QRectF(0, f.host.scrollY(), 700, 500)));
    }

    // While a small tile grows onto the stage it is drawn from the decoded
    // picture, filtered, not from its small prepared image stretched.
    void growingTileKeepsItsDetail()
    {
        Fixture f;
        f.engine.content = [](const QString &, double, bool) { return stripes(1024, 8); };
        f.engine.setItems(numbered(3));
        f.engine.layout();
        f.decoder.finishAll();
        TileImageCache cache;
        LayerPainter painter(cache);
        QImage target(800, 600, QImage::Format_ARGB32_Premultiplied);
        auto paint = [&] {
            QPainter p(&target);
            const QRectF visible = f.host.visibleRect();
            p.translate(0, -visible.top());
            painter.paint(p, *f.engine.rootLayer(), f.engine.layersToPaint(visible), f.clock.now(), visible, 1.0);
        };
        paint(); // at rest: the tiles' small images are prepared
        f.engine.open(QStringLiteral("1"));
        f.clock.advance(0.2);
        const LayerPtr tile = f.engine.opened();
        QVERIFY(tile->isAnimating(f.clock.now()));
        const QRectF now = tile->presentation(f.clock.now()).visualFrame();
        QVERIFY(now.width() > 300);
        paint();
        // Across the middle of the tile the columns still alternate.
        const int y = int(now.center().y() - f.host.scrollY());
        int low = 255, high = 0;
        for (int x = int(now.center().x()) - 20; x < int(now.center().x()) + 20; ++x) {
            low = std::min(low, qGray(target.pixel(x, y)));
            high = std::max(high, qGray(target.pixel(x, y)));
        }
        QVERIFY2(high - low > 120, qPrintable(QStringLiteral("%1..%2").arg(low).arg(high)));
    }

    void decodeAheadFollowsTheVisibleArea()
    {
        Fixture f;
        f.engine.setItems(numbered(400));
        f.engine.layout();
        // The window shows 4 rows; the area reaches one window above and below.
        const int first = int(f.decoder.waiting().size());
        QVERIFY(first > 10 && first < 100);
        for (const auto &e : f.decoder.waiting())
            QVERIFY(!e.request.fullResolution);
        QCOMPARE(f.decoder.waiting()[0].request.pixels, 320.0); // 150 × 2, in steps of 64
        f.host.scrollTo(6000);
        f.engine.visibleChanged();
        QCOMPARE(f.engine.scrollDir(), 1.0);
        QVERIFY(f.decoder.cancelledCount() >= first);
        f.decoder.finishAll();
        const LayerPtr far = f.engine.tileAt(QPointF(100, 6350));
        QVERIFY(far && !far->contents.isNull());
        QVERIFY(f.engine.layer("0")->contents.isNull());
        QCOMPARE(f.engine.pendingDecodes(), 0);
    }

    void fullResolutionOnlyReachesTheStage()
    {
        Fixture f;
        f.engine.setItems(numbered(5, 2.0));
        f.engine.layout();
        f.decoder.finishAll();
        f.asked.clear();
        f.engine.open(QStringLiteral("2"));
        // The opened image and its two neighbours, all at full resolution.
        QCOMPARE(int(f.decoder.waiting().size()), 3);
        QCOMPARE(f.decoder.waiting()[0].request.id, QStringLiteral("2"));
        QVERIFY(f.decoder.waiting()[0].request.fullResolution);
        QCOMPARE(f.decoder.waiting()[0].request.pixels, 640.0 * 2);
        f.decoder.finishAll();
        QCOMPARE(f.engine.opened()->contents.width(), 64);
        QVERIFY(f.engine.opened()->animation("fade")); // over the thumbnail

        f.engine.close();
        f.engine.open(QStringLiteral("0"));
        f.engine.close();
        f.decoder.finishAll(); // the image for "0" arrives after the close
        QVERIFY(f.engine.layer("0")->contents.isNull() || f.engine.layer("0")->contents.width() == 16);
        // The prefetched neighbour comes from the cache at once.
        f.engine.open(QStringLiteral("1"));
        QCOMPARE(f.engine.opened()->contents.width(), 64);
    }
};

QTEST_MAIN(EngineTest)
#include "tst_engine.moc"
