#pragma once
// A tiny HTTP/1.1 server on 127.0.0.1 for tests: fixed responses per path
// (the query left out), and switches for the faults a real server shows:
// pages that never answer, bodies cut short, stalled or trickled, error
// statuses, entity tags with 304, bodies sent without a length. It counts the requests each path received
// and keeps the last User-Agent, each path's last If-None-Match and the head
// of the last request. A path without a route gets the fallback, 404 unless
// a test sets another.

#include <QByteArray>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <memory>

class LoopbackHttpServer : public QObject {
public:
    struct Response {
        int status = 200;
        QByteArray contentType = "text/html; charset=utf-8";
        QByteArray body;
        QList<QPair<QByteArray, QByteArray>> headers;
        bool never = false; // accept the request and never answer
        bool unfinished = false; // announce more than the body, send the body, never the rest
        int repeat = 1; // the body this many times over, written as the client reads
        QByteArray etag; // sent with 200; a matching If-None-Match gets 304
        bool truncate = false; // announce the whole length, send half, hang up
        bool stall = false; // announce the whole length, send half, then wait
        int trickleMs = 0; // announce the whole length, then one byte every so often
        bool unannounced = false; // no length: the body ends when the connection closes
    };
    using Route = Response;

    // Listens at once; listen() is there for the tests that check it.
    explicit LoopbackHttpServer(QObject *parent = nullptr) : QObject(parent)
    {
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                socket->setParent(this);
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
        listen();
    }

    bool listen() { return m_server.isListening() || m_server.listen(QHostAddress::LocalHost, 0); }
    quint16 port() const { return m_server.serverPort(); }
    QString url(const QString &path) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path);
    }
    void set(const QByteArray &path, Response response) { m_routes[path] = std::move(response); }
    void setFallback(Response response) { m_fallback = std::move(response); }
    // The response of a path, to change in place (made when missing).
    Response &route(const QByteArray &path) { return m_routes[path]; }
    void page(const QByteArray &path, const QByteArray &html) { set(path, Response{200, "text/html; charset=utf-8", html, {}, false}); }
    void redirect(const QByteArray &path, const QByteArray &to)
    {
        set(path, Response{302, "text/html", {}, {{"Location", to}}, false});
    }
    int hits(const QByteArray &path) const { return m_hits.value(path); }
    QByteArray lastUserAgent() const { return m_userAgent; }
    QByteArray lastIfNoneMatch(const QByteArray &path) const { return m_ifNoneMatch.value(path); }
    // The request line and headers as they came, up to the blank line.
    QByteArray lastHead() const { return m_head; }

private:
    void serve(QTcpSocket *socket)
    {
        QByteArray &buffer = m_buffers[socket];
        buffer += socket->readAll();
        const qsizetype end = buffer.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        const QByteArray head = buffer.left(end);
        m_head = buffer.left(end + 4);
        buffer.remove(0, end + 4);
        const QList<QByteArray> lines = head.split('\n');
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        QByteArray path = requestLine.value(1);
        QByteArray ifNoneMatch;
        for (const QByteArray &line : lines) {
            const QByteArray lower = line.toLower();
            if (lower.startsWith("user-agent:"))
                m_userAgent = line.mid(11).trimmed();
            else if (lower.startsWith("if-none-match:"))
                ifNoneMatch = line.mid(14).trimmed();
        }
        const qsizetype q = path.indexOf('?');
        const QByteArray route = q >= 0 ? path.left(q) : path;
        m_hits[route] += 1;
        m_ifNoneMatch[route] = ifNoneMatch;
        auto it = m_routes.find(route);
        Response response = it != m_routes.end() ? *it : m_fallback;
        if (response.never)
            return;
        int status = response.status;
        if (status == 200 && !response.etag.isEmpty() && ifNoneMatch == response.etag) {
            status = 304;
            response.body.clear();
            response.repeat = 1;
        }
        QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + " X\r\n";
        out += "Content-Type: " + response.contentType + "\r\n";
        const qint64 length = qint64(response.body.size()) * std::max(1, response.repeat);
        if (!response.unannounced)
            out += "Content-Length: " + QByteArray::number(length + (response.unfinished ? 1 << 20 : 0)) + "\r\n";
        out += "Cache-Control: no-store\r\n";
        if (status == 200 && !response.etag.isEmpty())
            out += "ETag: " + response.etag + "\r\n";
        for (const auto &[k, v] : response.headers)
            out += k + ": " + v + "\r\n";
        out += response.unannounced ? "Connection: close\r\n\r\n" : "Connection: keep-alive\r\n\r\n";
        const QByteArray body = response.body;
        if (response.trickleMs > 0) {
            socket->write(out);
            auto *timer = new QTimer(socket);
            auto sent = std::make_shared<qsizetype>(0);
            connect(timer, &QTimer::timeout, socket, [socket, body, sent] {
                if (*sent < body.size())
                    socket->write(body.mid((*sent)++, 1));
            });
            timer->start(response.trickleMs);
            return;
        }
        if (response.stall) {
            socket->write(out + body.left(body.size() / 2));
            return;
        }
        if (response.truncate) {
            socket->write(out + body.left(body.size() / 2));
            socket->flush();
            socket->disconnectFromHost();
            return;
        }
        if (response.repeat > 1) {
            // A large body is not held whole: the next copies go out as the
            // client takes the earlier ones.
            socket->write(out);
            auto left = std::make_shared<int>(response.repeat);
            const bool closes = response.unannounced;
            auto feed = [socket, left, body, closes] {
                while (*left > 0 && socket->bytesToWrite() < (1 << 20)) {
                    socket->write(body);
                    --*left;
                }
                if (*left == 0 && closes)
                    socket->disconnectFromHost();
            };
            connect(socket, &QTcpSocket::bytesWritten, socket, feed);
            feed();
            return;
        }
        socket->write(out + body);
        if (response.unannounced) {
            socket->disconnectFromHost();
            return;
        }
        if (!buffer.isEmpty())
            serve(socket);
    }

    QTcpServer m_server;
    QMap<QByteArray, Response> m_routes;
    Response m_fallback{404, "text/html", "<html><body>missing</body></html>", {}, false};
    QHash<QByteArray, int> m_hits;
    QHash<QByteArray, QByteArray> m_ifNoneMatch;
    QHash<QTcpSocket *, QByteArray> m_buffers;
    QByteArray m_userAgent;
    QByteArray m_head;
};
