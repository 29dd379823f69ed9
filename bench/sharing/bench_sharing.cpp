// Sharing with a local vellora-cloud: the owner's push of 1 000 items with
// thumbnails, a participant's first fetch of them, and 50 clients making 100
// requests each at once (every one must be answered, none refused).

#include "CloudServiceFixture.h"

#include "sharing/CollectionSharing.h"
#include "sharing/HttpCloud.h"

#include "library/LibraryStore.h"
#include "platform/Bundle.h"
#include "platform/Defaults.h"
#include "platform/Digest.h"
#include "platform/Uuid.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QRandomGenerator>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <cstdio>

using namespace vellora;

namespace {

constexpr int kItems = 1000;
constexpr qsizetype kThumbnailBytes = 24 * 1024;
constexpr qsizetype kOriginalBytes = 48 * 1024;

sharingtest::CloudFixture *g_cloud = nullptr;
int g_users = 0;

// Turns the event loop (without spinning) until `done` holds.
bool waitFor(const std::function<bool()> &done, int ms = 600000)
{
    if (done())
        return true;
    QEventLoop loop;
    QDeadlineTimer deadline(ms);
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        if (done() || deadline.hasExpired())
            loop.quit();
    });
    tick.start(2);
    loop.exec();
    return done();
}

QByteArray noise(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write(bytes);
}

struct Side {
    QTemporaryDir dir;
    QString user;
    QString token;
    std::unique_ptr<Defaults> settings;
    std::unique_ptr<LibraryStore> store;
    std::unique_ptr<CollectionSharing> sharing;

    explicit Side(const char *stem)
    {
        user = QString::fromLatin1(stem) + QString::number(++g_users);
        token = g_cloud->service.addUser(user);
        settings = std::make_unique<Defaults>(dir.filePath(QStringLiteral("settings.ini")));
        QDir().mkpath(root());
        store = std::make_unique<LibraryStore>(root(), false, *settings);
        const QUrl url = g_cloud->service.url();
        const QString t = token;
        sharing = std::make_unique<CollectionSharing>(*store, *settings, [url, t](QObject *parent) -> CloudContainer * {
            return new HttpCloudContainer(url, t, parent);
        });
    }
    QString root() const { return dir.filePath(QStringLiteral("library")); }

    QString collectionOf(int count)
    {
        const QString id = store->createCollection(QStringLiteral("Moodboard"));
        QList<Item> items;
        for (int i = 0; i < count; ++i) {
            Item item;
            item.id = newUUIDString();
            item.kind = QStringLiteral("image");
            item.originalFilename = QStringLiteral("Screenshot %1.png").arg(i);
            item.storedFilename = item.id + QStringLiteral(".png");
            item.thumbnailFilename = item.id + QStringLiteral(".jpg");
            item.pixelWidth = 1440;
            item.pixelHeight = 900;
            const QByteArray original = noise(kOriginalBytes);
            item.contentHash = sha256Hex(sha256(original));
            item.collectionIds = {id};
            writeFile(root() + QStringLiteral("/originals/") + item.storedFilename, original);
            writeFile(root() + QStringLiteral("/thumbnails/") + item.thumbnailFilename, noise(kThumbnailBytes));
            items.append(item);
        }
        store->appendItems(items);
        store->save();
        return id;
    }
    QString share(const QString &id)
    {
        QString url;
        bool done = false;
        sharing->share(id, [&](CloudResult<CloudRecord> result) {
            if (!isError(result))
                url = std::get<CloudRecord>(result).shareURL();
            done = true;
        });
        waitFor([&] { return done; });
        bool idle = false;
        sharing->whenUploadsFinish([&] { idle = true; });
        waitFor([&] { return idle; });
        return url;
    }
    bool invite(const QString &id, const QString &who)
    {
        bool done = false;
        bool ok = false;
        sharing->fetchShare(id, [&](CloudResult<CloudRecord> found) {
            if (isError(found)) {
                done = true;
                return;
            }
            CloudRecord share = std::get<CloudRecord>(found);
            share.setParticipants({CloudParticipant{who, QStringLiteral("readOnly"), false}});
            sharing->saveShare(id, share, [&](CloudResult<CloudRecord> saved) {
                ok = !isError(saved);
                done = true;
            });
        });
        waitFor([&] { return done; });
        return ok;
    }
    int members(const QString &id) const
    {
        int count = 0;
        for (const Item &item : store->items())
            count += item.collectionIds.contains(id);
        return count;
    }
};

void BM_PushThousandItems(benchmark::State &state)
{
    for (auto _ : state) {
        state.PauseTiming();
        Side owner("owner");
        const QString id = owner.collectionOf(kItems);
        state.ResumeTiming();
        const QString url = owner.share(id);
        state.PauseTiming();
        const auto snapshot = owner.sharing->snapshot();
        if (url.isEmpty() || !snapshot || snapshot->value(id).size() != kItems)
            state.SkipWithError("not every item was pushed");
        state.ResumeTiming();
    }
    state.counters["items/s"] = benchmark::Counter(double(kItems) * state.iterations(), benchmark::Counter::kIsRate);
}

void BM_FirstFetchOfThousandItems(benchmark::State &state)
{
    for (auto _ : state) {
        state.PauseTiming();
        Side owner("owner");
        Side reader("reader");
        const QString id = owner.collectionOf(kItems);
        const QString url = owner.share(id);
        owner.invite(id, reader.user);
        state.ResumeTiming();
        bool done = false;
        reader.sharing->acceptURL(QUrl(url), [&](std::optional<CloudError>) { done = true; });
        waitFor([&] { return done; });
        state.PauseTiming();
        if (reader.members(id) != kItems)
            state.SkipWithError("not every item arrived");
        state.ResumeTiming();
    }
    state.counters["items/s"] = benchmark::Counter(double(kItems) * state.iterations(), benchmark::Counter::kIsRate);
}

// 50 clients, 100 requests each, all in flight at once.
void BM_FiftyClientsAtOnce(benchmark::State &state)
{
    constexpr int kClients = 50;
    constexpr int kRequests = 100;
    int failed = 0;
    for (auto _ : state) {
        state.PauseTiming();
        Side owner("owner");
        const QString id = owner.collectionOf(20);
        owner.share(id);
        std::vector<std::unique_ptr<HttpCloudContainer>> clients;
        for (int c = 0; c < kClients; ++c)
            clients.push_back(std::make_unique<HttpCloudContainer>(g_cloud->service.url(), owner.token));
        const CloudZoneID zone{zoneNameFor(id), kCurrentUserDefaultName};
        state.ResumeTiming();
        int answered = 0;
        for (auto &client : clients) {
            for (int r = 0; r < kRequests; ++r) {
                if (r % 2) {
                    client->privateDatabase().fetchRecord(zone, id, [&](CloudResult<CloudRecord> result) {
                        failed += isError(result);
                        ++answered;
                    });
                } else {
                    client->privateDatabase().fetchZoneChanges(zone, {}, [&](CloudResult<CloudZoneChanges> result) {
                        failed += isError(result) || std::get<CloudZoneChanges>(result).changed.size() != 22;
                        ++answered;
                    });
                }
            }
        }
        waitFor([&] { return answered == kClients * kRequests; });
        state.PauseTiming();
        if (answered != kClients * kRequests)
            state.SkipWithError("requests went unanswered");
        state.ResumeTiming();
    }
    state.counters["failed"] = failed;
    state.counters["requests/s"] =
        benchmark::Counter(double(kClients * kRequests) * state.iterations(), benchmark::Counter::kIsRate);
}

} // namespace

BENCHMARK(BM_PushThousandItems)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FirstFetchOfThousandItems)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FiftyClientsAtOnce)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    setBundleIdentifier(QString::fromLatin1(kVelloraBundleIdentifier));
    sharingtest::CloudFixture cloud;
    QString error;
    if (!cloud.start(&error)) {
        std::fprintf(stderr, "bench_sharing: %s\n", qUtf8Printable(error));
        return 1;
    }
    g_cloud = &cloud;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    cloud.stop();
    return 0;
}
