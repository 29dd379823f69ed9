#pragma once
// A chat-completions server on 127.0.0.1 for tests: it records every request
// and answers each with the next queued reply (or the standing one).

#include <QByteArray>
#include <QList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>
#include <nlohmann/json.hpp>

class FakeModelServer : public QObject {
public:
    struct Reply {
        int status = 200;
        QByteArray body;     // the whole HTTP body
        bool silent = false; // never answer (for time-outs)
    };

    struct Request {
        QByteArray method;
        QByteArray path;
        nlohmann::json body;
        QByteArray raw; // the body as sent, keys in the sender's order
        // The two messages of a request, as the server sees them.
        QString system() const { return text(0); }
        QString user() const { return text(1); }
        QString text(size_t i) const
        {
            try {
                return QString::fromStdString(body.at("messages").at(i).at("content").get<std::string>());
            } catch (...) {
                return {};
            }
        }
    };

    FakeModelServer()
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                socket->setParent(this);
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
            }
        });
    }

    QUrl url() const { return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(m_server.serverPort())); }

    // A reply whose message content is `content` (the model's answer text).
    static Reply answer(const QByteArray &content)
    {
        nlohmann::json body = {{"id", "x"},
                               {"object", "chat.completion"},
                               {"choices",
                                nlohmann::json::array({{{"index", 0},
                                                        {"finish_reason", "stop"},
                                                        {"message",
                                                         {{"role", "assistant"}, {"content", content.toStdString()}}}}})}};
        return Reply{200, QByteArray::fromStdString(body.dump()), false};
    }
    static Reply answer(const nlohmann::json &content) { return answer(QByteArray::fromStdString(content.dump())); }

    void enqueue(Reply reply) { m_queue << reply; }
    void setStanding(Reply reply) { m_standing = reply; }

    const QList<Request> &requests() const { return m_requests; }
    int requestCount() const { return int(m_requests.size()); }

private:
    void serve(QTcpSocket *socket)
    {
        QByteArray &buffer = m_buffers[socket];
        buffer += socket->readAll();
        const qsizetype headerEnd = buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0)
            return;
        const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
        qsizetype length = 0;
        for (const QByteArray &line : lines) {
            const QByteArray l = line.trimmed();
            if (l.toLower().startsWith("content-length:"))
                length = l.mid(15).trimmed().toLongLong();
        }
        if (buffer.size() < headerEnd + 4 + length)
            return;
        Request request;
        const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
        request.method = first.value(0);
        request.path = first.value(1);
        const QByteArray body = buffer.mid(headerEnd + 4, length);
        buffer.clear();
        request.body = nlohmann::json::parse(body.toStdString(), nullptr, false);
        request.raw = body;
        m_requests << request;

        const Reply reply = m_queue.isEmpty() ? m_standing : m_queue.takeFirst();
        if (reply.silent)
            return;
        QByteArray response = "HTTP/1.1 " + QByteArray::number(reply.status) + " X\r\n"
            "Content-Type: application/json\r\nConnection: close\r\nContent-Length: "
            + QByteArray::number(reply.body.size()) + "\r\n\r\n" + reply.body;
        socket->write(response);
        socket->disconnectFromHost();
    }

    QTcpServer m_server;
    QList<Reply> m_queue;
    Reply m_standing{500, QByteArrayLiteral("{}"), false};
    QList<Request> m_requests;
    QHash<QTcpSocket *, QByteArray> m_buffers;
};
