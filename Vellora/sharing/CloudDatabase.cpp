#include "CloudDatabase.h"

#include <QJsonArray>

namespace vellora {

QString CloudError::description() const
{
    QString text = QStringLiteral("CloudError(code: %1").arg(code);
    if (!message.isEmpty())
        text += QStringLiteral(", ") + message;
    return text + QLatin1Char(')');
}

CloudError cloudError(int code, const QString &message)
{
    CloudError error;
    error.code = code;
    error.message = message;
    return error;
}

QJsonObject participantJson(const CloudParticipant &participant)
{
    return QJsonObject{{QString(cloudprotocol::kUser), participant.user},
                       {QString(cloudprotocol::kPermission), participant.permission},
                       {QString(cloudprotocol::kAccepted), participant.accepted}};
}

CloudParticipant participantFromJson(const QJsonObject &object)
{
    CloudParticipant participant;
    participant.user = object.value(cloudprotocol::kUser).toString();
    participant.permission = object.value(cloudprotocol::kPermission).toString(cloudprotocol::kPermissionReadOnly);
    participant.accepted = object.value(cloudprotocol::kAccepted).toBool();
    return participant;
}

QList<CloudParticipant> CloudRecord::participants() const
{
    QList<CloudParticipant> list;
    for (const QJsonValue &value : fields.value(cloudprotocol::kParticipants).toArray())
        list.append(participantFromJson(value.toObject()));
    return list;
}

void CloudRecord::setParticipants(const QList<CloudParticipant> &participants)
{
    QJsonArray array;
    for (const CloudParticipant &participant : participants)
        array.append(participantJson(participant));
    fields.insert(cloudprotocol::kParticipants, array);
}

} // namespace vellora
