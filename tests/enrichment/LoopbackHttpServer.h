#pragma once
// A tiny HTTP/1.1 server on 127.0.0.1 for tests: fixed responses per path,
// pages that never answer, and a count of the requests each path received.

#include <QByteArray>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QTcpServer>
#include <QTcpSocket>

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
    };

    explicit LoopbackHttpServer(QObject *parent = nullptr) : QObject(parent)
    {
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                socket->setParent(this);
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }

    bool listen() { return m_server.listen(QHostAddress::LocalHost, 0); }
    quint16 port() const { return m_server.serverPort(); }
    QString url(const QString &path) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path);
    }
    void set(const QByteArray &path, Response response) { m_routes[path] = std::move(response); }
    void page(const QByteArray &path, const QByteArray &html) { set(path, Response{200, "text/html; charset=utf-8", html, {}, false}); }
    void redirect(const QByteArray &path, const QByteArray &to)
    {
        set(path, Response{302, "text/html", {}, {{"Location", to}}, false});
    }
    int hits(const QByteArray &path) const { return m_hits.value(path); }
    QByteArray lastUserAgent() const { return m_userAgent; }

private:
    void serve(QTcpSocket *socket)
    {
        QByteArray &buffer = m_buffers[socket];
        buffer += socket->readAll();
        const qsizetype end = buffer.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        const QByteArray head = buffer.left(end);
        buffer.remove(0, end + 4);
        const QList<QByteArray> lines = head.split('\n');
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        QByteArray path = requestLine.value(1);
        for (const QByteArray &line : lines) {
            if (line.toLower().startsWith("user-agent:"))
                m_userAgent = line.mid(11).trimmed();
        }
        const qsizetype q = path.indexOf('?');
        const QByteArray route = q >= 0 ? path.left(q) : path;
        m_hits[route] += 1;
        auto it = m_routes.find(route);
        Response response = it != m_routes.end() ? *it : Response{404, "text/html", "<html><body>missing</body></html>", {}, false};
        if (response.never)
            return;
        QByteArray out = "HTTP/1.1 " + QByteArray::number(response.status) + " X\r\n";
        out += "Content-Type: " + response.contentType + "\r\n";
        const qint64 length = qint64(response.body.size()) * std::max(1, response.repeat);
        out += "Content-Length: " + QByteArray::number(length + (response.unfinished ? 1 << 20 : 0)) + "\r\n";
        out += "Cache-Control: no-store\r\n";
        for (const auto &[k, v] : response.headers)
            out += k + ": " + v + "\r\n";
        out += "Connection: keep-alive\r\n\r\n";
        if (response.repeat > 1) {
            // A large body is not held whole: the next copies go out as the
            // client takes the earlier ones.
            socket->write(out);
            auto left = std::make_shared<int>(response.repeat);
            auto feed = [socket, left, body = response.body] {
                while (*left > 0 && socket->bytesToWrite() < (1 << 20)) {
                    socket->write(body);
                    --*left;
                }
            };
            connect(socket, &QTcpSocket::bytesWritten, socket, feed);
            feed();
            return;
        }
        out += response.body;
        socket->write(out);
        if (!buffer.isEmpty())
            serve(socket);
    }

    QTcpServer m_server;
    QMap<QByteArray, Response> m_routes;
    QHash<QByteArray, int> m_hits;
    QHash<QTcpSocket *, QByteArray> m_buffers;
    QByteArray m_userAgent;
};
