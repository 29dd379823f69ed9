#include "Uuid.h"

#include <QRegularExpression>
#include <QUuid>

namespace vellora {

QString newUUIDString()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

bool isUUIDString(const QString &text)
{
    static const QRegularExpression pattern(
        QStringLiteral("^[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}$"));
    return pattern.match(text).hasMatch();
}

} // namespace vellora
