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
    return QJsonObject{{QStringLiteral("user"), participant.user},
                       {QStringLiteral("permission"), participant.permission},
                       {QStringLiteral("accepted"), participant.accepted}};
}

CloudParticipant participantFromJson(const QJsonObject &object)
{
    CloudParticipant participant;
    participant.user = object.value(QStringLiteral("user")).toString();
    participant.permission = object.value(QStringLiteral("permission")).toString(QStringLiteral("readOnly"));
    participant.accepted = object.value(QStringLiteral("accepted")).toBool();
    return participant;
}

QList<CloudParticipant> CloudRecord::participants() const
{
    QList<CloudParticipant> list;
    for (const QJsonValue &value : fields.value(QStringLiteral("participants")).toArray())
        list.append(participantFromJson(value.toObject()));
    return list;
}

void CloudRecord::setParticipants(const QList<CloudParticipant> &participants)
{
    QJsonArray array;
    for (const CloudParticipant &participant : participants)
        array.append(participantJson(participant));
    fields.insert(QStringLiteral("participants"), array);
}

} // namespace vellora
