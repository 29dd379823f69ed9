#include "HttpFrontEnd.h"

#include "CloudProtocol.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <microhttpd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>

namespace cloud {

namespace p = cloudprotocol;

namespace {

// Event streams hear something at least this often, so that one whose
// client went away is noticed and closed.
constexpr auto kHeartbeat = std::chrono::seconds(15);
// A known user's body over its call's limit is read and thrown away up to
// this many times the limit, so that their program gets the answer.
constexpr qint64 kDiscardedLimits = 4;

HttpAnswer noSuchCall()
{
    HttpAnswer answer = CloudService::errorAnswer(ApiError{p::ErrorInvalidArguments, QStringLiteral("no such call"), {}});
    answer.status = 404;
    return answer;
}

MHD_Result queue(MHD_Connection *connection, const HttpAnswer &answer)
{
    MHD_Response *response = MHD_create_response_from_buffer(size_t(answer.body.size()),
                                                             const_cast<char *>(answer.body.constData()),
                                                             MHD_RESPMEM_MUST_COPY);
    if (!response)
        return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, answer.contentType.constData());
    const MHD_Result queued = MHD_queue_response(connection, unsigned(answer.status), response);
    MHD_destroy_response(response);
    return queued;
}

QByteArray header(MHD_Connection *connection, const char *name)
{
    return QByteArray(MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name));
}

} // namespace

// One request, from its headers to its answer.
struct HttpFrontEnd::Exchange {
    enum class State { Reading, Working, Answered };
    std::atomic<State> state{State::Reading};
    User user;
    QString path;
    QByteArray body;
    qint64 limit = 0;
    bool discarding = false;
    qint64 discarded = 0;
    HttpAnswer answer;
};

// A client's open event stream. Its connection stays suspended while there
// is nothing to send.
struct HttpFrontEnd::EventStream {
    std::mutex mutex;
    std::string pending;
    bool suspended = false;
    bool closed = false;
    MHD_Connection *connection = nullptr;
    qint64 user = 0;
    HttpFrontEnd *owner = nullptr;
};

struct FrontEndCallbacks {
    static MHD_Result access(void *cls, MHD_Connection *connection, const char *url, const char *method,
                             const char * /*version*/, const char *uploadData, size_t *uploadDataSize, void **context)
    {
        auto *self = static_cast<HttpFrontEnd *>(cls);
        auto *exchange = static_cast<HttpFrontEnd::Exchange *>(*context);
        if (!exchange) {
            // The headers are in; nothing of the body has been read.
            exchange = new HttpFrontEnd::Exchange;
            *context = exchange;
            exchange->path = QString::fromUtf8(url);
            const bool get = std::strcmp(method, MHD_HTTP_METHOD_GET) == 0;
            const bool post = std::strcmp(method, MHD_HTTP_METHOD_POST) == 0;
            if (get && exchange->path.startsWith(p::kPathSharePage)) {
                return queue(connection, HttpAnswer{200, QByteArrayLiteral("text/plain; charset=utf-8"),
                                                    QByteArrayLiteral("This is an invitation to a shared Vellora collection. "
                                                                      "In Vellora, choose File > Sharing > Accept Invitation… "
                                                                      "and paste this address.\n")});
            }
            if (!exchange->path.startsWith(QLatin1String("/v1/")))
                return queue(connection, noSuchCall());
            auto caller = self->m_service.authenticate(header(connection, MHD_HTTP_HEADER_AUTHORIZATION));
            if (auto *refused = std::get_if<HttpAnswer>(&caller))
                return queue(connection, *refused);
            exchange->user = std::get<User>(caller);
            if (get && exchange->path == p::kPathMe) {
                return queue(connection, HttpAnswer{200, QByteArrayLiteral("application/json"),
                                                    QJsonDocument(QJsonObject{{p::kUser, exchange->user.name}})
                                                        .toJson(QJsonDocument::Compact)});
            }
            if (get && exchange->path == p::kPathEvents)
                return openEvents(self, connection, exchange->user);
            if (!post)
                return queue(connection, noSuchCall());
            exchange->limit = self->m_service.bodyLimit(exchange->path);
            const QByteArray declared = header(connection, MHD_HTTP_HEADER_CONTENT_LENGTH);
            bool ok = false;
            const qint64 length = declared.isEmpty() ? 0 : declared.toLongLong(&ok);
            if (!declared.isEmpty() && (!ok || length > exchange->limit)) {
                // A known user's body a little too large is read and thrown
                // away, so that their program gets the answer rather than a
                // closed connection; anything larger is not read at all.
                if (!ok || length > kDiscardedLimits * exchange->limit)
                    return queue(connection, tooLarge());
                exchange->discarding = true;
            }
            return MHD_YES;
        }
        switch (exchange->state.load()) {
        case HttpFrontEnd::Exchange::State::Reading:
            if (*uploadDataSize > 0) {
                // A body of no declared length shows it is too large only as
                // it comes; no answer can go out before the upload ends, so
                // the rest is thrown away, up to a bound past which the
                // connection is closed instead.
                if (!exchange->discarding && exchange->body.size() + qint64(*uploadDataSize) > exchange->limit) {
                    exchange->discarding = true;
                    exchange->discarded = exchange->body.size();
                    exchange->body.clear();
                }
                if (exchange->discarding) {
                    exchange->discarded += qint64(*uploadDataSize);
                    *uploadDataSize = 0;
                    return exchange->discarded > kDiscardedLimits * exchange->limit ? MHD_NO : MHD_YES;
                }
                exchange->body.append(uploadData, qsizetype(*uploadDataSize));
                *uploadDataSize = 0;
                return MHD_YES;
            }
            if (exchange->discarding)
                return queue(connection, tooLarge());
            // The whole body is in: a worker answers, the connection waits.
            exchange->state = HttpFrontEnd::Exchange::State::Working;
            MHD_suspend_connection(connection);
            self->post([self, exchange, connection] {
                exchange->answer = self->m_service.handle(exchange->user, exchange->path, exchange->body);
                exchange->body.clear();
                exchange->state = HttpFrontEnd::Exchange::State::Answered;
                MHD_resume_connection(connection);
            });
            return MHD_YES;
        case HttpFrontEnd::Exchange::State::Working:
            return MHD_YES;
        case HttpFrontEnd::Exchange::State::Answered:
            return queue(connection, exchange->answer);
        }
        return MHD_NO;
    }

    static void completed(void * /*cls*/, MHD_Connection * /*connection*/, void **context,
                          MHD_RequestTerminationCode /*reason*/)
    {
        delete static_cast<HttpFrontEnd::Exchange *>(*context);
        *context = nullptr;
    }

    static HttpAnswer tooLarge()
    {
        return CloudService::errorAnswer(ApiError{p::ErrorLimitExceeded, QStringLiteral("request too large"), {}});
    }

    static ssize_t readEvents(void *cls, uint64_t /*position*/, char *buffer, size_t max)
    {
        auto &stream = **static_cast<std::shared_ptr<HttpFrontEnd::EventStream> *>(cls);
        std::lock_guard lock(stream.mutex);
        if (stream.pending.empty()) {
            stream.suspended = true;
            MHD_suspend_connection(stream.connection);
            return 0;
        }
        const size_t n = std::min(max, stream.pending.size());
        std::memcpy(buffer, stream.pending.data(), n);
        stream.pending.erase(0, n);
        return ssize_t(n);
    }

    static void closeEvents(void *cls)
    {
        auto *held = static_cast<std::shared_ptr<HttpFrontEnd::EventStream> *>(cls);
        std::shared_ptr<HttpFrontEnd::EventStream> stream = *held;
        delete held;
        HttpFrontEnd *self = stream->owner;
        {
            std::lock_guard lock(stream->mutex);
            stream->closed = true;
        }
        std::lock_guard lock(self->m_streamsMutex);
        auto &list = self->m_streams[stream->user];
        std::erase(list, stream);
        if (list.empty())
            self->m_streams.erase(stream->user);
    }

    static MHD_Result openEvents(HttpFrontEnd *self, MHD_Connection *connection, const User &user)
    {
        auto stream = std::make_shared<HttpFrontEnd::EventStream>();
        stream->connection = connection;
        stream->user = user.id;
        stream->owner = self;
        stream->pending = ": open\n\n";
        auto *held = new std::shared_ptr<HttpFrontEnd::EventStream>(stream);
        MHD_Response *response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 1024, &readEvents, held, &closeEvents);
        if (!response) {
            delete held;
            return MHD_NO;
        }
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/event-stream");
        MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-cache");
        {
            std::lock_guard lock(self->m_streamsMutex);
            self->m_streams[user.id].push_back(stream);
        }
        const MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_OK, response);
        MHD_destroy_response(response);
        return queued;
    }
};

HttpFrontEnd::HttpFrontEnd(CloudService &service, FrontEndOptions options)
    : m_service(service), m_options(std::move(options))
{
}

HttpFrontEnd::~HttpFrontEnd() { stop(); }

bool HttpFrontEnd::start(QString *error)
{
    // Every connection costs a descriptor; the service keeps enough back for
    // its database connections, its own pipes and the files it opens, so that
    // a crowd of clients cannot starve it.
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    const long reserve = 24 + 3L * m_options.ioThreads + 2L * (m_options.workers + m_options.ioThreads);
    long connections = long(limit.rlim_cur) - reserve;
    if (m_options.maxConnections > 0)
        connections = std::min(connections, long(m_options.maxConnections));
    if (connections < 4) {
        *error = QStringLiteral("too few file descriptors (%1) for a service").arg(qint64(limit.rlim_cur));
        return false;
    }

    sockaddr_storage address{};
    const bool v6 = m_options.address.protocol() == QAbstractSocket::IPv6Protocol;
    if (v6) {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&address);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(m_options.port);
        const Q_IPV6ADDR bytes = m_options.address.toIPv6Address();
        std::memcpy(&in6->sin6_addr, bytes.c, 16);
    } else {
        auto *in4 = reinterpret_cast<sockaddr_in *>(&address);
        in4->sin_family = AF_INET;
        in4->sin_port = htons(m_options.port);
        in4->sin_addr.s_addr = htonl(m_options.address.toIPv4Address());
    }

    m_stopping = false;
    for (int i = 0; i < m_options.workers; ++i)
        m_workers.emplace_back([this] { work(); });

    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
    if (v6)
        flags |= MHD_USE_IPv6;
    m_daemon = MHD_start_daemon(
        flags, m_options.port, nullptr, nullptr, &FrontEndCallbacks::access, this,
        MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr *>(&address),
        MHD_OPTION_THREAD_POOL_SIZE, unsigned(std::max(1, m_options.ioThreads)),
        MHD_OPTION_CONNECTION_TIMEOUT, m_options.idleTimeoutSeconds,
        MHD_OPTION_CONNECTION_LIMIT, unsigned(connections),
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, m_options.connectionsPerAddress,
        MHD_OPTION_LISTEN_BACKLOG_SIZE, 1024u,
        MHD_OPTION_NOTIFY_COMPLETED, &FrontEndCallbacks::completed, this,
        MHD_OPTION_END);
    if (!m_daemon) {
        *error = QStringLiteral("cannot listen on %1:%2").arg(m_options.address.toString()).arg(m_options.port);
        stop();
        return false;
    }
    const MHD_DaemonInfo *info = MHD_get_daemon_info(m_daemon, MHD_DAEMON_INFO_BIND_PORT);
    m_port = info ? info->port : m_options.port;
    m_heartbeat = std::thread([this] { beat(); });
    return true;
}

void HttpFrontEnd::stop()
{
    {
        std::lock_guard lock(m_jobsMutex);
        m_stopping = true;
    }
    m_jobsReady.notify_all();
    m_heartbeatWake.notify_all();
    if (m_heartbeat.joinable())
        m_heartbeat.join();
    // Workers finish what they hold (resuming its connection) first.
    for (auto &worker : m_workers)
        worker.join();
    m_workers.clear();
    if (m_daemon) {
        MHD_stop_daemon(m_daemon);
        m_daemon = nullptr;
    }
}

void HttpFrontEnd::post(std::function<void()> job)
{
    {
        std::lock_guard lock(m_jobsMutex);
        m_jobs.push_back(std::move(job));
    }
    m_jobsReady.notify_one();
}

void HttpFrontEnd::work()
{
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lock(m_jobsMutex);
            m_jobsReady.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
            if (m_jobs.empty())
                break;
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        job();
    }
    closeDatabase();
}

void HttpFrontEnd::send(EventStream &stream, const char *text)
{
    std::lock_guard lock(stream.mutex);
    if (stream.closed)
        return;
    // A client that reads nothing does not make the service hoard events.
    if (stream.pending.size() < 4096)
        stream.pending += text;
    if (stream.suspended) {
        stream.suspended = false;
        MHD_resume_connection(stream.connection);
    }
}

void HttpFrontEnd::notify(const QSet<qint64> &users)
{
    std::vector<std::shared_ptr<EventStream>> streams;
    {
        std::lock_guard lock(m_streamsMutex);
        for (const qint64 user : users)
            if (auto found = m_streams.find(user); found != m_streams.end())
                streams.insert(streams.end(), found->second.begin(), found->second.end());
    }
    for (const auto &stream : streams)
        send(*stream, "event: changed\ndata: {}\n\n");
}

void HttpFrontEnd::beat()
{
    auto nextSweep = std::chrono::steady_clock::now();
    for (;;) {
        {
            std::unique_lock lock(m_jobsMutex);
            if (m_heartbeatWake.wait_for(lock, kHeartbeat, [this] { return m_stopping; }))
                return;
        }
        std::vector<std::shared_ptr<EventStream>> streams;
        {
            std::lock_guard lock(m_streamsMutex);
            for (const auto &[user, list] : m_streams)
                streams.insert(streams.end(), list.begin(), list.end());
        }
        for (const auto &stream : streams)
            send(*stream, ":\n\n");
        // Files sent but never used are removed now and then.
        if (std::chrono::steady_clock::now() >= nextSweep) {
            nextSweep = std::chrono::steady_clock::now() + std::chrono::minutes(10);
            post([this] { m_service.collectGarbage(); });
        }
    }
}

} // namespace cloud
