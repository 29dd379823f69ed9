#pragma once
// The item ids whose files wait for data; the grid shows their tiles as
// loading. An id leaves the set 2 seconds after it was first marked.

#include <QObject>
#include <QSet>
#include <QString>

namespace vellora {

class CloudStatus : public QObject {
    Q_OBJECT
public:
    explicit CloudStatus(QObject *parent = nullptr);
    static CloudStatus &shared();

    const QSet<QString> &waiting() const { return m_waiting; }
    // Inserts the id; only the first mark of an id starts its removal.
    void markWaiting(const QString &id);
    bool isWaiting(const QString &id) const { return m_waiting.contains(id); }

signals:
    void waitingChanged();

private:
    QSet<QString> m_waiting;
};

} // namespace vellora
