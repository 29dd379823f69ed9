// vellora-cloud under hostile load: 200 clients making small requests as fast
// as they are answered for 20 s, while 300 connections sit open doing nothing
// and one client writes 20 000 records into a zone of its own. Reports the
// small requests answered per second, their 99th-percentile latency, and how
// many requests (or written records) were lost.
//
// The clients speak plain HTTP/1.1 over blocking sockets, one thread each, so
// that the figures are the service's and not a client event loop's.

#include "CloudServiceFixture.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kClients = 200;
constexpr int kIdle = 300;
constexpr int kSeconds = 20;
constexpr int kRecords = 20000;
constexpr int kBatch = 2000;

sharingtest::CloudFixture *g_cloud = nullptr;

int connectTo(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(quint16(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timeval timeout{60, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    return fd;
}

// One keep-alive connection; reconnects when the service closed it.
class Client {
public:
    Client(int port, std::string token) : m_port(port), m_token(std::move(token)) {}
    ~Client() { drop(); }

    // The status (0: no answer) and the body.
    int post(const std::string &path, const std::string &body, std::string *answer)
    {
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (m_fd < 0 && (m_fd = connectTo(m_port)) < 0)
                return 0;
            const std::string request = "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer "
                + m_token + "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size())
                + "\r\n\r\n" + body;
            bool sentAll = true;
            for (size_t sent = 0; sent < request.size();) {
                const ssize_t n = ::send(m_fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
                if (n <= 0) {
                    sentAll = false;
                    break;
                }
                sent += size_t(n);
            }
            bool anything = false;
            const int status = sentAll ? readAnswer(answer, &anything) : 0;
            if (status)
                return status;
            drop();
            // A connection the service closed while idle is retried once on a fresh one.
            if (anything)
                return 0;
        }
        return 0;
    }

private:
    int readAnswer(std::string *body, bool *anything)
    {
        std::string head;
        char buffer[65536];
        size_t headEnd = std::string::npos;
        while ((headEnd = head.find("\r\n\r\n")) == std::string::npos) {
            const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                return 0;
            *anything = true;
            head.append(buffer, size_t(n));
        }
        int status = 0;
        if (std::sscanf(head.c_str(), "HTTP/1.%*d %d", &status) != 1)
            return 0;
        std::string lower = head.substr(0, headEnd);
        std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return char(std::tolower(c)); });
        const size_t lengthAt = lower.find("content-length:");
        if (lengthAt == std::string::npos)
            return 0;
        const size_t length = std::stoul(lower.substr(lengthAt + 15));
        *body = head.substr(headEnd + 4);
        while (body->size() < length) {
            const ssize_t n = ::recv(m_fd, buffer, std::min(sizeof buffer, length - body->size()), 0);
            if (n <= 0)
                return 0;
            body->append(buffer, size_t(n));
        }
        if (lower.find("connection: close") != std::string::npos)
            drop();
        return status;
    }
    void drop()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

    int m_port;
    std::string m_token;
    int m_fd = -1;
};

std::string json(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
}

std::string recordsBody(const QString &zone, int from, int count)
{
    QJsonArray save;
    for (int i = from; i < from + count; ++i)
        save.append(QJsonObject{{QStringLiteral("type"), QStringLiteral("Item")},
                                {QStringLiteral("name"), QStringLiteral("item-%1").arg(i)},
                                {QStringLiteral("parent"), QStringLiteral("root")},
                                {QStringLiteral("fields"), QJsonObject{{QStringLiteral("title"), QStringLiteral("Item %1").arg(i)},
                                                                       {QStringLiteral("tags"), QJsonArray{QStringLiteral("load")}}}},
                                {QStringLiteral("assets"), QJsonObject{}},
                                {QStringLiteral("changeTag"), QString()}});
    return json(QJsonObject{{QStringLiteral("zone"), zone},
                            {QStringLiteral("owner"), QStringLiteral("__defaultOwner__")},
                            {QStringLiteral("save"), save},
                            {QStringLiteral("delete"), QJsonArray{}},
                            {QStringLiteral("policy"), QStringLiteral("allKeys")},
                            {QStringLiteral("atomic"), false}});
}

std::string zoneBody(const QString &zone, const QJsonObject &more = {})
{
    QJsonObject body = more;
    body.insert(QStringLiteral("zone"), zone);
    body.insert(QStringLiteral("owner"), QStringLiteral("__defaultOwner__"));
    return json(body);
}

// Records of the zone as the service lists them, page by page.
int countRecords(Client &client, const QString &zone)
{
    int count = 0;
    QString token;
    for (int page = 0; page < 1000; ++page) {
        std::string answer;
        if (client.post("/v1/private/changes", zoneBody(zone, {{QStringLiteral("token"), token}}), &answer) != 200)
            return -1;
        const QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(answer)).object();
        count += int(o.value(QStringLiteral("changed")).toArray().size());
        token = o.value(QStringLiteral("token")).toString();
        if (!o.value(QStringLiteral("moreComing")).toBool())
            return count;
    }
    return -1;
}

void BM_HostileLoad(benchmark::State &state)
{
    const int port = g_cloud->service.url().port();
    for (auto _ : state) {
        state.PauseTiming();
        static int round = 0;
        ++round;
        const std::string readerToken = g_cloud->service.addUser(QStringLiteral("reader%1").arg(round)).toStdString();
        const std::string writerToken = g_cloud->service.addUser(QStringLiteral("writer%1").arg(round)).toStdString();
        Client setup(port, readerToken);
        Client writerSetup(port, writerToken);
        std::string answer;
        const QString readZone = QStringLiteral("collection-read");
        const QString writeZone = QStringLiteral("collection-write");
        if (setup.post("/v1/private/zones/save", zoneBody(readZone), &answer) != 200
            || setup.post("/v1/private/records/modify", recordsBody(readZone, 0, 50), &answer) != 200
            || writerSetup.post("/v1/private/zones/save", zoneBody(writeZone), &answer) != 200) {
            state.SkipWithError("setting up failed");
            return;
        }
        std::vector<int> idle;
        for (int i = 0; i < kIdle; ++i)
            if (const int fd = connectTo(port); fd >= 0)
                idle.push_back(fd);
        state.ResumeTiming();

        std::atomic<bool> stop{false};
        std::atomic<long> lost{0};
        std::mutex merge;
        std::vector<double> latencies;
        std::vector<std::thread> clients;
        for (int c = 0; c < kClients; ++c) {
            clients.emplace_back([&, c] {
                Client client(port, readerToken);
                std::vector<double> mine;
                std::string body;
                for (int r = 0; !stop.load(std::memory_order_relaxed); ++r) {
                    const std::string request = zoneBody(
                        readZone, {{QStringLiteral("name"), QStringLiteral("item-%1").arg((c + r) % 50)}});
                    const auto start = std::chrono::steady_clock::now();
                    const int status = client.post("/v1/private/records/lookup", request, &body);
                    mine.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
                    if (status != 200)
                        ++lost;
                }
                std::lock_guard lock(merge);
                latencies.insert(latencies.end(), mine.begin(), mine.end());
            });
        }
        std::atomic<long> writesFailed{0};
        const auto begun = std::chrono::steady_clock::now();
        double writerDone = 0;
        std::thread writer([&] {
            Client client(port, writerToken);
            std::string body;
            for (int from = 0; from < kRecords; from += kBatch)
                if (client.post("/v1/private/records/modify", recordsBody(writeZone, from, kBatch), &body) != 200)
                    ++writesFailed;
            writerDone = std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
        });
        std::this_thread::sleep_for(std::chrono::seconds(kSeconds));
        stop = true;
        for (auto &client : clients)
            client.join();
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
        writer.join();
        state.PauseTiming();
        for (const int fd : idle)
            ::close(fd);
        const int stored = countRecords(writerSetup, writeZone);
        std::sort(latencies.begin(), latencies.end());
        const auto percentile = [&](double p) {
            return latencies.empty() ? 0.0 : latencies[std::min(latencies.size() - 1, size_t(p * double(latencies.size())))];
        };
        state.counters["requests/s"] = double(latencies.size()) / elapsed;
        state.counters["p50_ms"] = percentile(0.50);
        state.counters["p99_ms"] = percentile(0.99);
        state.counters["max_ms"] = latencies.empty() ? 0.0 : latencies.back();
        state.counters["lost_requests"] = double(lost.load());
        state.counters["failed_writes"] = double(writesFailed.load());
        state.counters["records_lost"] = double(kRecords - stored);
        state.counters["writer_s"] = writerDone;
        state.counters["idle_opened"] = double(idle.size());
        state.ResumeTiming();
    }
}

} // namespace

BENCHMARK(BM_HostileLoad)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    sharingtest::CloudFixture cloud;
    QString error;
    // Every client here comes from loopback: the cap per address is raised above them all.
    if (!cloud.start(&error, {QStringLiteral("--page-size"), QStringLiteral("5000"), QStringLiteral("--max-per-address"),
                               QStringLiteral("1000")})) {
        std::fprintf(stderr, "bench_sharing_load: %s\n", qUtf8Printable(error));
        return 1;
    }
    g_cloud = &cloud;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    cloud.stop();
    return 0;
}
