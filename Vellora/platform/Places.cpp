#include "Places.h"

#include "Defaults.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <mutex>

namespace vellora {

QString applicationSupportFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/Vellora");
}

namespace CloudPlaces {

namespace {
std::mutex g_mutex;
bool g_known = false;
std::optional<QString> g_synced;

std::optional<QString> readSyncedFolder()
{
    const QString named = Defaults::standard().string(QString::fromLatin1(kSyncedFolderKey)).trimmed();
    if (named.isEmpty())
        return std::nullopt;
    const QFileInfo info(QDir::cleanPath(named));
    if (!info.isDir())
        return std::nullopt;
    return info.absoluteFilePath();
}
} // namespace

std::optional<QString> syncedFolder()
{
    std::lock_guard lock(g_mutex);
    if (!g_known) {
        g_synced = readSyncedFolder();
        g_known = true;
    }
    return g_synced;
}

void resetForTesting()
{
    std::lock_guard lock(g_mutex);
    g_known = false;
    g_synced.reset();
}

std::optional<QString> container(const QString &identifier)
{
    const auto synced = syncedFolder();
    if (!synced)
        return std::nullopt;
    return *synced + QLatin1Char('/') + identifier;
}

QString drive()
{
    const auto synced = syncedFolder();
    return synced ? *synced : QDir::homePath();
}

bool contains(const QString &path)
{
    const auto synced = syncedFolder();
    if (!synced)
        return false;
    const QString absolute = QFileInfo(path).absoluteFilePath();
    return absolute.startsWith(*synced + QLatin1Char('/'));
}

} // namespace CloudPlaces

namespace {
QString hiddenListPath(const QFileInfo &info)
{
    return info.absolutePath() + QStringLiteral("/.hidden");
}

QStringList hiddenNames(const QFileInfo &info)
{
    QFile list(hiddenListPath(info));
    if (!list.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(list.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}
} // namespace

bool setHidden(const QString &path)
{
    const QFileInfo info(QDir::cleanPath(path));
    if (!info.exists())
        return false;
    if (info.fileName().startsWith(QLatin1Char('.')))
        return true;
    QStringList names = hiddenNames(info);
    if (names.contains(info.fileName()))
        return true;
    names.append(info.fileName());
    QFile list(hiddenListPath(info));
    if (!list.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return list.write((names.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8()) >= 0;
}

bool isHidden(const QString &path)
{
    const QFileInfo info(QDir::cleanPath(path));
    return info.fileName().startsWith(QLatin1Char('.')) || hiddenNames(info).contains(info.fileName());
}

} // namespace vellora
