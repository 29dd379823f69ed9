#include "Defaults.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

namespace vellora {

namespace {
QString standardPath()
{
    // QStandardPaths follows XDG_CONFIG_HOME, so every test run gets its own file.
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    return base + QStringLiteral("/Vellora/Vellora.conf");
}

// QSettings guards each write with "<file>.lock". A process killed between
// creating that lock and writing its owner into it leaves an empty lock that
// QSettings cannot attribute to anyone, so it waits for the lock to age (30 s)
// on every later write. A lock that is still empty after a second can only be
// such a leftover: the owner writes its pid straight after creating it.
void clearAbandonedLock(const QString &settingsFile)
{
    const QFileInfo lock(settingsFile + QStringLiteral(".lock"));
    if (!lock.exists() || lock.size() != 0)
        return;
    if (lock.lastModified().msecsTo(QDateTime::currentDateTime()) < 1000)
        return;
    QFile::remove(lock.filePath());
}

bool looksLikeOptionKey(const QString &argument)
{
    return argument.size() >= 2 && argument.at(0) == QLatin1Char('-') && argument.at(1).isLetter();
}
} // namespace

Defaults &Defaults::standard()
{
    static Defaults *instance = new Defaults(standardPath());
    return *instance;
}

Defaults::Defaults(const QString &filePath, QObject *parent)
    : QObject(parent)
{
    QDir().mkpath(QFileInfo(filePath).absolutePath());
    clearAbandonedLock(filePath);
    m_settings = new QSettings(filePath, QSettings::IniFormat);
}

Defaults::~Defaults()
{
    sync();
    delete m_settings;
}

QString Defaults::filePath() const { return m_settings->fileName(); }

void Defaults::registerDefaults(const QVariantMap &values)
{
    for (auto it = values.begin(); it != values.end(); ++it)
        m_registered.insert(it.key(), it.value());
}

void Defaults::setArgumentDomain(const QStringList &arguments)
{
    m_arguments.clear();
    for (int i = 0; i + 1 < arguments.size(); ++i) {
        if (looksLikeOptionKey(arguments.at(i))) {
            m_arguments.insert(arguments.at(i).mid(1), arguments.at(i + 1));
            ++i;
        }
    }
}

QVariant Defaults::value(const QString &key) const
{
    if (auto it = m_arguments.find(key); it != m_arguments.end())
        return it.value();
    if (m_settings->contains(key))
        return m_settings->value(key);
    return m_registered.value(key);
}

bool Defaults::contains(const QString &key) const
{
    return m_arguments.contains(key) || m_settings->contains(key) || m_registered.contains(key);
}

bool Defaults::hasExplicitValue(const QString &key) const { return m_settings->contains(key); }

QVariant Defaults::explicitValue(const QString &key) const { return m_settings->value(key); }

QStringList Defaults::explicitKeys() const { return m_settings->allKeys(); }

QString Defaults::string(const QString &key, const QString &fallback) const
{
    const QVariant v = value(key);
    if (!v.isValid() || !v.canConvert<QString>())
        return fallback;
    return v.toString();
}

bool Defaults::boolean(const QString &key, bool fallback) const
{
    const QVariant v = value(key);
    if (!v.isValid())
        return fallback;
    if (v.typeId() == QMetaType::Bool)
        return v.toBool();
    // INI files and the argument domain hand back text.
    const QString text = v.toString().trimmed().toLower();
    if (text == QLatin1String("true") || text == QLatin1String("yes") || text == QLatin1String("1"))
        return true;
    if (text == QLatin1String("false") || text == QLatin1String("no") || text == QLatin1String("0"))
        return false;
    return fallback;
}

qint64 Defaults::integer(const QString &key, qint64 fallback) const
{
    const QVariant v = value(key);
    if (!v.isValid())
        return fallback;
    bool ok = false;
    const qint64 n = v.toLongLong(&ok);
    if (ok)
        return n;
    const double d = v.toDouble(&ok);
    return ok ? qint64(d) : fallback;
}

double Defaults::number(const QString &key, double fallback) const
{
    const QVariant v = value(key);
    if (!v.isValid())
        return fallback;
    bool ok = false;
    const double d = v.toDouble(&ok);
    return ok ? d : fallback;
}

std::optional<QString> Defaults::optionalString(const QString &key) const
{
    const QVariant v = value(key);
    if (!v.isValid())
        return std::nullopt;
    return v.toString();
}

void Defaults::set(const QString &key, const QVariant &value)
{
    if (m_settings->contains(key) && m_settings->value(key) == value)
        return;
    m_settings->setValue(key, value);
    sync();
    emit changed(key);
}

void Defaults::remove(const QString &key)
{
    if (!m_settings->contains(key))
        return;
    m_settings->remove(key);
    sync();
    emit changed(key);
}

void Defaults::sync()
{
    clearAbandonedLock(m_settings->fileName());
    m_settings->sync();
}

} // namespace vellora
