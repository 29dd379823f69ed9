#include "Bundle.h"

#include <QMutex>

namespace vellora {

namespace {
QMutex &identifierLock()
{
    static QMutex lock;
    return lock;
}
QString &identifierValue()
{
    static QString value;
    return value;
}
} // namespace

QString bundleIdentifier()
{
    QMutexLocker locker(&identifierLock());
    return identifierValue();
}

void setBundleIdentifier(const QString &identifier)
{
    QMutexLocker locker(&identifierLock());
    identifierValue() = identifier;
}

} // namespace vellora
