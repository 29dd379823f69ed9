#include "CloudStatus.h"

#include "platform/Scheduler.h"

#include <QPointer>

namespace vellora {

CloudStatus::CloudStatus(QObject *parent) : QObject(parent) {}

CloudStatus &CloudStatus::shared()
{
    static CloudStatus *instance = new CloudStatus;
    return *instance;
}

void CloudStatus::markWaiting(const QString &id)
{
    if (m_waiting.contains(id))
        return;
    m_waiting.insert(id);
    emit waitingChanged();
    QPointer<CloudStatus> self(this);
    Scheduler::main().postAfter(2.0, [self, id] {
        if (self && self->m_waiting.remove(id))
            emit self->waitingChanged();
    });
}

} // namespace vellora
