#pragma once
// The HTTP side of vellora-cloud, on libmicrohttpd: a few threads watch the
// sockets (with an idle time-out per connection and a cap on connections,
// in all and per address), and a pool of workers, each with its own
// database connection, runs the requests. A request's headers are checked
// (token, declared length) before any of its body is read, and a body is
// read only up to the call's limit. Event streams stay suspended until
// there is something to send.

#include "CloudService.h"

#include <QHostAddress>
#include <QSet>
#include <QString>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

struct MHD_Daemon;
struct MHD_Connection;

namespace cloud {

struct FrontEndOptions {
    QHostAddress address = QHostAddress::LocalHost;
    quint16 port = 8470;            // 0: any free one
    int ioThreads = 4;
    int workers = 4;                // also the number of database connections for requests
    unsigned idleTimeoutSeconds = 30;
    unsigned connectionsPerAddress = 64; // 0: no cap
    unsigned maxConnections = 0;    // 0: as many as the descriptor limit allows
};

class HttpFrontEnd {
public:
    HttpFrontEnd(CloudService &service, FrontEndOptions options);
    ~HttpFrontEnd();

    bool start(QString *error);
    void stop();
    quint16 port() const { return m_port; }
    // Wakes the event streams of these users.
    void notify(const QSet<qint64> &users);

    struct Exchange;
    struct EventStream;

private:
    friend struct FrontEndCallbacks;
    void post(std::function<void()> job);
    void work();
    void beat();
    void send(EventStream &stream, const char *text);

    CloudService &m_service;
    FrontEndOptions m_options;
    MHD_Daemon *m_daemon = nullptr;
    quint16 m_port = 0;

    std::mutex m_jobsMutex;
    std::condition_variable m_jobsReady;
    std::deque<std::function<void()>> m_jobs;
    std::vector<std::thread> m_workers;
    bool m_stopping = false;

    std::mutex m_streamsMutex;
    std::unordered_map<qint64, std::vector<std::shared_ptr<EventStream>>> m_streams;
    std::thread m_heartbeat;
    std::condition_variable m_heartbeatWake;
};

} // namespace cloud
