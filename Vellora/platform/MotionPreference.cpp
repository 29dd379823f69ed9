#include "MotionPreference.h"

#include "IntakeFile.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QDir>
#include <QLoggingCategory>
#include <QStandardPaths>

namespace vellora {

namespace {
Q_LOGGING_CATEGORY(lcMotion, "vellora.platform.motion")

const QString kPortalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPortalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kPortalSettings = QStringLiteral("org.freedesktop.portal.Settings");
const QString kGnomeGroup = QStringLiteral("org.gnome.desktop.interface");
const QString kGnomeKey = QStringLiteral("enable-animations");
const QString kKdeGroup = QStringLiteral("org.kde.kdeglobals.KDE");
const QString kKdeKey = QStringLiteral("AnimationDurationFactor");
// Settings files are a few kilobytes; anything larger is not one.
constexpr qint64 kMaxSettingsBytes = 1 << 20;

// The user's own settings: a link (dotfiles kept elsewhere) is followed, but a
// FIFO or device in its place must not hold up the window's start.
QString readSmallFile(const QString &path)
{
    return QString::fromUtf8(readIntakeFile(path, LinkPolicy::Follow, kMaxSettingsBytes).value_or(QByteArray()));
}

// The value of `key` in `[group]` of an ini-style text, the last one winning.
std::optional<QString> iniValue(const QString &text, const QString &group, const QString &key)
{
    std::optional<QString> found;
    bool inGroup = false;
    for (QString line : text.split(QLatin1Char('\n'))) {
        line = line.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')) || line.startsWith(QLatin1Char(';')))
            continue;
        if (line.startsWith(QLatin1Char('['))) {
            inGroup = line == QLatin1Char('[') + group + QLatin1Char(']');
            continue;
        }
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (!inGroup || eq < 0)
            continue;
        // KDE marks keys with locale and immutability suffixes in brackets.
        QString name = line.left(eq).trimmed();
        if (const qsizetype bracket = name.indexOf(QLatin1Char('[')); bracket > 0)
            name = name.left(bracket);
        if (name == key)
            found = line.mid(eq + 1).trimmed();
    }
    return found;
}

std::optional<bool> parseBool(const QString &value)
{
    const QString v = value.toLower();
    if (v == QLatin1String("1") || v == QLatin1String("true") || v == QLatin1String("yes"))
        return true;
    if (v == QLatin1String("0") || v == QLatin1String("false") || v == QLatin1String("no"))
        return false;
    return std::nullopt;
}

// Portal values come wrapped in one or two variants depending on the call.
QVariant unwrap(QVariant value)
{
    for (int i = 0; i < 3 && value.canConvert<QDBusVariant>(); ++i)
        value = value.value<QDBusVariant>().variant();
    return value;
}
} // namespace

std::optional<bool> MotionPreference::fromGtkSettings(const QString &settingsIni)
{
    const auto value = iniValue(settingsIni, QStringLiteral("Settings"), QStringLiteral("gtk-enable-animations"));
    if (!value)
        return std::nullopt;
    const auto enabled = parseBool(*value);
    if (!enabled)
        return std::nullopt;
    return !*enabled;
}

std::optional<bool> MotionPreference::fromKdeGlobals(const QString &kdeglobals)
{
    const auto value = iniValue(kdeglobals, QStringLiteral("KDE"), kKdeKey);
    if (!value)
        return std::nullopt;
    bool ok = false;
    const double factor = value->toDouble(&ok);
    if (!ok)
        return std::nullopt;
    return fromAnimationFactor(factor);
}

MotionPreference::MotionPreference(QObject *parent, const QString &configHome, bool askPortal)
    : QObject(parent), m_configHome(configHome)
{
    if (m_configHome.isEmpty())
        m_configHome = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    const QDir home(m_configHome);
    // KDE's own setting first on a KDE desktop, else GTK's (newest first).
    const bool kde = qEnvironmentVariable("XDG_CURRENT_DESKTOP").contains(QLatin1String("KDE"), Qt::CaseInsensitive);
    const std::optional<bool> kdeSays = fromKdeGlobals(readSmallFile(home.filePath(QStringLiteral("kdeglobals"))));
    std::optional<bool> gtkSays = fromGtkSettings(readSmallFile(home.filePath(QStringLiteral("gtk-4.0/settings.ini"))));
    if (!gtkSays)
        gtkSays = fromGtkSettings(readSmallFile(home.filePath(QStringLiteral("gtk-3.0/settings.ini"))));
    m_files = kde ? (kdeSays ? kdeSays : gtkSays) : (gtkSays ? gtkSays : kdeSays);
    m_reduce = m_files.value_or(false);
    if (askPortal)
        this->askPortal();
}

void MotionPreference::askPortal()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    bus.connect(kPortalService, kPortalPath, kPortalSettings, QStringLiteral("SettingChanged"), this,
                SLOT(onSettingChanged(QDBusMessage)));
    for (const auto &[group, key] : {std::pair{kGnomeGroup, kGnomeKey}, std::pair{kKdeGroup, kKdeKey}}) {
        // Read is the older method and every portal version has it.
        QDBusMessage call = QDBusMessage::createMethodCall(kPortalService, kPortalPath, kPortalSettings, QStringLiteral("Read"));
        call << group << key;
        auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 2000), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, group, key](QDBusPendingCallWatcher *w) {
            w->deleteLater();
            const QDBusMessage reply = w->reply();
            if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
                qCDebug(lcMotion) << "portal has no" << group << key;
                return;
            }
            portalValue(group, key, reply.arguments().constFirst());
        });
    }
}

void MotionPreference::portalValue(const QString &group, const QString &key, const QVariant &raw)
{
    const QVariant value = unwrap(raw);
    if (group == kGnomeGroup && key == kGnomeKey) {
        if (value.typeId() == QMetaType::Bool)
            m_portalGnome = !value.toBool();
    } else if (group == kKdeGroup && key == kKdeKey) {
        bool ok = false;
        const double factor = value.toDouble(&ok);
        if (ok)
            m_portalKde = fromAnimationFactor(factor);
    } else {
        return;
    }
    settle();
}

void MotionPreference::onSettingChanged(const QDBusMessage &message)
{
    const QList<QVariant> args = message.arguments();
    if (args.size() >= 3)
        portalValue(args[0].toString(), args[1].toString(), args[2]);
}

void MotionPreference::settle()
{
    // Either desktop turning animations off is enough; a portal that answers
    // overrides what the files said.
    bool reduce = m_files.value_or(false);
    if (m_portalGnome || m_portalKde)
        reduce = m_portalGnome.value_or(false) || m_portalKde.value_or(false);
    if (reduce == m_reduce)
        return;
    m_reduce = reduce;
    qCInfo(lcMotion) << "reduce motion" << reduce;
    emit changed(reduce);
}

} // namespace vellora
