#include "AddressPolicy.h"

#include "platform/WebAddress.h"

#include <QHostInfo>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <memory>

namespace vellora {

namespace {

QString bare(const QString &host)
{
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        return host.mid(1, host.size() - 2);
    return host;
}

} // namespace

AddressPolicy::Rules AddressPolicy::Rules::defaults()
{
    Rules rules;
    rules.forbidden = [](const QHostAddress &address) { return isLocalNetworkAddress(address); };
    rules.lookUp = [](const QString &name, QObject *context, std::function<void(QList<QHostAddress>)> done) {
        QHostInfo::lookupHost(name, context, [done = std::move(done)](const QHostInfo &found) {
            done(found.error() == QHostInfo::NoError ? found.addresses() : QList<QHostAddress>());
        });
    };
    return rules;
}

AddressPolicy::Rules &AddressPolicy::Rules::installed()
{
    static Rules rules = defaults();
    return rules;
}

bool AddressPolicy::mayConnectTo(const QHostAddress &address) const
{
    if (!m_restricted)
        return true;
    const auto &forbidden = Rules::installed().forbidden;
    return !address.isNull() && !(forbidden ? forbidden(address) : isLocalNetworkAddress(address));
}

bool AddressPolicy::mayAskHost(const QString &host) const
{
    if (!m_restricted)
        return true;
    const QString name = bare(host);
    if (name.isEmpty())
        return false;
    const QHostAddress literal(name);
    if (!literal.isNull())
        return mayConnectTo(literal);
    // Of a name, only "localhost" and the names under it are known local.
    return !isLocalNetworkHostName(name);
}

void AddressPolicy::resolve(const QString &host, QObject *context, QDeadlineTimer deadline,
                            std::function<void(std::optional<QHostAddress>)> done) const
{
    // Always later, and never once the context is gone.
    auto answer = [context = QPointer<QObject>(context), done = std::move(done)](std::optional<QHostAddress> address) {
        if (context)
            QTimer::singleShot(0, context.data(), [done, address] { done(address); });
    };
    const QString name = bare(host);
    if (!mayAskHost(name)) {
        answer(std::nullopt);
        return;
    }
    const QHostAddress literal(name);
    if (!literal.isNull()) {
        answer(literal);
        return;
    }
    // One answer only: the lookup's or the deadline's, whichever comes first.
    auto answered = std::make_shared<bool>(false);
    auto once = [answered, answer](std::optional<QHostAddress> address) {
        if (!std::exchange(*answered, true))
            answer(std::move(address));
    };
    if (!deadline.isForever())
        QTimer::singleShot(std::max<qint64>(0, deadline.remainingTime()), context, [once] { once(std::nullopt); });
    const auto &lookUp = Rules::installed().lookUp ? Rules::installed().lookUp : Rules::defaults().lookUp;
    const AddressPolicy policy = *this;
    lookUp(name, context, [policy, once](QList<QHostAddress> addresses) {
        const bool allAllowed = !addresses.isEmpty()
            && std::all_of(addresses.begin(), addresses.end(),
                           [&policy](const QHostAddress &a) { return policy.mayConnectTo(a); });
        if (!allAllowed) {
            once(std::nullopt);
            return;
        }
        const auto v4 = std::find_if(addresses.begin(), addresses.end(), [](const QHostAddress &a) {
            return a.protocol() == QAbstractSocket::IPv4Protocol;
        });
        once(v4 != addresses.end() ? *v4 : addresses.first());
    });
}

} // namespace vellora
