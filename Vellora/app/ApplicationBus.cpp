#include "ApplicationBus.h"

#include "platform/Logging.h"
#include "update/InstallSteps.h"

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <memory>

#include <cerrno>
#include <csignal>
#include <sys/syscall.h>
#include <unistd.h>

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

// The process an update relaunch replaces, named in our environment by the
// updater that started us; taken out so that our own children never see it.
pid_t takeRelaunchPredecessor()
{
    const char *name = kRelaunchAfterVariable;
    const QByteArray text = qgetenv(name);
    if (text.isEmpty())
        return 0;
    qunsetenv(name);
    bool ok = false;
    const qint64 pid = text.toLongLong(&ok);
    return ok && pid > 1 && pid != ::getpid() ? pid_t(pid) : 0;
}

// Turns the event loop until `pid` has ended or `deadline` has passed. A
// process descriptor says when it ends, zombie or not; where there is none,
// the process is looked for every tenth of a second.
void waitForEnd(pid_t pid, QDeadlineTimer deadline)
{
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    limit.start(std::max<qint64>(0, deadline.remainingTime()));
    const int descriptor = int(::syscall(SYS_pidfd_open, pid, 0));
    if (descriptor < 0 && errno == ESRCH)
        return;
    std::unique_ptr<QSocketNotifier> ended;
    QTimer poll;
    if (descriptor >= 0) {
        ended = std::make_unique<QSocketNotifier>(descriptor, QSocketNotifier::Read);
        QObject::connect(ended.get(), &QSocketNotifier::activated, &loop, &QEventLoop::quit);
    } else {
        QObject::connect(&poll, &QTimer::timeout, &loop, [&loop, pid] {
            if (::kill(pid, 0) != 0 && errno == ESRCH)
                loop.quit();
        });
        poll.start(100);
    }
    loop.exec();
    ended.reset();
    if (descriptor >= 0)
        ::close(descriptor);
}

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
    // Relaunched by an update: the old process still holds the name while it
    // saves and quits. Its end is awaited, then the name it leaves behind.
    const pid_t predecessor = takeRelaunchPredecessor();
    if (!predecessor)
        return claimOnce();
    waitForEnd(predecessor, QDeadlineTimer(60000));
    QDeadlineTimer released(10000);
    for (;;) {
        const Claim claimed = claimOnce();
        if (claimed != Claim::AlreadyRunning || released.hasExpired())
            return claimed;
        QEventLoop pause;
        QTimer::singleShot(100, &pause, &QEventLoop::quit);
        pause.exec();
    }
}

ApplicationBus::Claim ApplicationBus::claimOnce()
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
