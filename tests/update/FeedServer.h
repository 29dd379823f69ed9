#pragma once
// A loopback server for the update feed and its downloads: entity tags and
// 304 for the feed, fixed bodies per path, and switches for the faults a real
// server shows (an error status, a connection cut short).

#include <QByteArray>
#include <QHash>
#include <memory>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

class FeedServer : public QObject {
public:
    struct Route {
        QByteArray body;
        int status = 200;
        QByteArray etag;      // sent with 200; a matching If-None-Match gets 304
        bool truncate = false; // announce the whole length, send half, hang up
        bool stall = false;    // announce the whole length, send half, then wait
        int trickleMs = 0;     // announce the whole length, then one byte every so often
        bool silent = false;   // take the request and never answer
    };

    FeedServer()
    {
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                socket->setParent(this);
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
        m_server.listen(QHostAddress::LocalHost, 0);
    }

    QString url(const QByteArray &path) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(m_server.serverPort()).arg(QString::fromUtf8(path));
    }
    void set(const QByteArray &path, Route route) { m_routes[path] = std::move(route); }
    Route &route(const QByteArray &path) { return m_routes[path]; }
    int hits(const QByteArray &path) const { return m_hits.value(path); }
    QByteArray lastIfNoneMatch(const QByteArray &path) const { return m_ifNoneMatch.value(path); }

private:
    void serve(QTcpSocket *socket)
    {
        QByteArray &buffer = m_buffers[socket];
        buffer += socket->readAll();
        const qsizetype end = buffer.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        const QList<QByteArray> lines = buffer.left(end).split('\n');
        buffer.remove(0, end + 4);
        const QByteArray path = lines.value(0).split(' ').value(1);
        QByteArray ifNoneMatch;
        for (const QByteArray &line : lines) {
            if (line.toLower().startsWith("if-none-match:"))
                ifNoneMatch = line.mid(14).trimmed();
        }
        m_hits[path] += 1;
        m_ifNoneMatch[path] = ifNoneMatch;
        const auto it = m_routes.constFind(path);
        Route route = it != m_routes.constEnd() ? *it : Route{"missing", 404, {}, false};
        if (route.silent)
            return;
        QByteArray body = route.body;
        int status = route.status;
        if (status == 200 && !route.etag.isEmpty() && ifNoneMatch == route.etag) {
            status = 304;
            body.clear();
        }
        QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + " X\r\nContent-Length: "
                         + QByteArray::number(body.size()) + "\r\n";
        if (status == 200 && !route.etag.isEmpty())
            out += "ETag: " + route.etag + "\r\n";
        out += "Connection: close\r\n\r\n";
        if (route.trickleMs > 0) {
            socket->write(out);
            auto *timer = new QTimer(socket);
            auto sent = std::make_shared<qsizetype>(0);
            connect(timer, &QTimer::timeout, socket, [socket, body, sent] {
                if (*sent < body.size())
                    socket->write(body.mid((*sent)++, 1));
            });
            timer->start(route.trickleMs);
            return;
        }
        if (route.stall) {
            socket->write(out + body.left(body.size() / 2));
            return;
        }
        if (route.truncate) {
            socket->write(out + body.left(body.size() / 2));
            socket->flush();
            socket->disconnectFromHost();
            return;
        }
        socket->write(out + body);
        socket->disconnectFromHost();
    }

    QTcpServer m_server;
    QHash<QByteArray, Route> m_routes;
    QHash<QByteArray, int> m_hits;
    QHash<QByteArray, QByteArray> m_ifNoneMatch;
    QHash<QTcpSocket *, QByteArray> m_buffers;
};
