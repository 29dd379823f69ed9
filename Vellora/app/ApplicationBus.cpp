#include "ApplicationBus.h"

#include "platform/Logging.h"

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>

namespace vellora {

namespace {

// org.freedesktop.Application, as desktops and "gapplication launch" call it.
class FreedesktopApplicationAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")
public:
    explicit FreedesktopApplicationAdaptor(ApplicationBus *bus) : QDBusAbstractAdaptor(bus), m_bus(bus) {}

public slots:
    void Activate(const QVariantMap &platformData)
    {
        Q_UNUSED(platformData);
        emit m_bus->activateRequested();
    }
    void Open(const QStringList &uris, const QVariantMap &platformData)
    {
        Q_UNUSED(platformData);
        emit m_bus->openRequested(uris);
    }
    void ActivateAction(const QString &name, const QVariantList &parameter, const QVariantMap &platformData)
    {
        Q_UNUSED(name);
        Q_UNUSED(parameter);
        Q_UNUSED(platformData);
        emit m_bus->activateRequested();
    }

private:
    ApplicationBus *m_bus;
};

class ShellAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.quendle.vellora.Shell")
public:
    explicit ShellAdaptor(ApplicationBus *bus) : QDBusAbstractAdaptor(bus), m_bus(bus) {}

public slots:
    // Continues a handoff activity ("com.quendle.vellora.board" with
    // "boardID", "com.quendle.vellora.item" with "itemID").
    void ContinueActivity(const QString &type, const QVariantMap &userInfo)
    {
        emit m_bus->continueActivityRequested(type, userInfo);
    }

private:
    ApplicationBus *m_bus;
};

// "Add to Vellora": one path holds one object on the bus, so the request's
// interface is served here and handed to whoever takes it.
class CaptureAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.quendle.vellora.Capture")
public:
    explicit CaptureAdaptor(ApplicationBus *bus) : QDBusAbstractAdaptor(bus), m_bus(bus) {}

public slots:
    void AddToVellora(const QStringList &uris, const QString &text)
    {
        emit m_bus->addToVelloraRequested(uris, text);
    }

private:
    ApplicationBus *m_bus;
};

} // namespace

ApplicationBus::ApplicationBus(QObject *parent) : QObject(parent)
{
    new FreedesktopApplicationAdaptor(this);
    new ShellAdaptor(this);
    new CaptureAdaptor(this);
}

ApplicationBus::~ApplicationBus()
{
    if (m_registered) {
        QDBusConnection bus = QDBusConnection::sessionBus();
        bus.unregisterObject(QString::fromLatin1(kBusPath));
        bus.unregisterService(QString::fromLatin1(kBusName));
    }
}

ApplicationBus::Claim ApplicationBus::claim()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return Claim::NoBus;
    QDBusConnectionInterface *daemon = bus.interface();
    if (!daemon)
        return Claim::NoBus;
    if (!bus.registerObject(QString::fromLatin1(kBusPath), this, QDBusConnection::ExportAdaptors)) {
        qCWarning(lcVellora) << "bus: could not serve" << kBusPath;
        return Claim::AlreadyRunning;
    }
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply = daemon->registerService(
        QString::fromLatin1(kBusName), QDBusConnectionInterface::DontQueueService,
        QDBusConnectionInterface::DontAllowReplacement);
    if (reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered) {
        m_registered = true;
        return Claim::Primary;
    }
    bus.unregisterObject(QString::fromLatin1(kBusPath));
    if (!reply.isValid())
        return Claim::NoBus;
    return Claim::AlreadyRunning;
}

bool ApplicationBus::handOver(const QStringList &uris)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    QDBusMessage call = uris.isEmpty()
        ? QDBusMessage::createMethodCall(QString::fromLatin1(kBusName), QString::fromLatin1(kBusPath),
                                         QStringLiteral("org.freedesktop.Application"), QStringLiteral("Activate"))
        : QDBusMessage::createMethodCall(QString::fromLatin1(kBusName), QString::fromLatin1(kBusPath),
                                         QStringLiteral("org.freedesktop.Application"), QStringLiteral("Open"));
    if (uris.isEmpty())
        call << QVariantMap();
    else
        call << uris << QVariantMap();
    // Bounded: a hung first instance must not hang the second one.
    const QDBusMessage reply = bus.call(call, QDBus::Block, 10000);
    return reply.type() == QDBusMessage::ReplyMessage;
}

} // namespace vellora

#include "ApplicationBus.moc"
