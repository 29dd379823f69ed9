#pragma once
// Which machines the link road may make this one ask. The user's own links go
// wherever they point, this machine included: a page being built on it is as
// good a link as any. A link that someone else chose must never make this
// machine ask itself or its local network for anything, so every request
// made for it (the page, each redirect, its icons, its preview image, what
// its snapshot loads) is judged here, by the address it will connect to: a
// name is looked up once and the request goes to exactly the address that
// was judged, never to whatever a second lookup would answer.

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QList>
#include <QString>
#include <functional>
#include <optional>

class QObject;

namespace vellora {

class AddressPolicy {
public:
    // Any host at all.
    static AddressPolicy anyHost() { return AddressPolicy(false); }
    // Only hosts outside this machine and its local networks.
    static AddressPolicy publicOnly() { return AddressPolicy(true); }

    AddressPolicy() = default;
    bool restricted() const { return m_restricted; }

    // What is known of a host without a lookup: false for a name of this
    // machine ("localhost" and the names under it) and for an address
    // literal that may not be reached; true for any other name, which is
    // judged once it is looked up. Always true when not restricted.
    bool mayAskHost(const QString &host) const;
    // Whether a request may connect to the address. Always true when not
    // restricted.
    bool mayConnectTo(const QHostAddress &address) const;

    // The one address to connect to for `host` (a name or an address
    // literal, with or without brackets): nothing when the host may not be
    // asked, has no address, does not answer by `deadline`, or any of its
    // addresses may not be reached (a name that answers both ways is judged
    // by its worst answer). IPv4 is preferred, as most local networks have
    // it. Called later on the main thread, exactly once, unless `context`
    // is destroyed first.
    void resolve(const QString &host, QObject *context, QDeadlineTimer deadline,
                 std::function<void(std::optional<QHostAddress>)> done) const;

    // How addresses are judged and names looked up. The program keeps the
    // defaults (local network addresses are forbidden; the system's
    // resolver); tests, whose servers can only listen on this machine,
    // install their own.
    struct Rules {
        std::function<bool(const QHostAddress &)> forbidden;
        // Gives every address of the name (none when it has none), later,
        // on the main thread; dropped when `context` is destroyed first.
        std::function<void(const QString &name, QObject *context, std::function<void(QList<QHostAddress>)>)> lookUp;
        static Rules &installed();
        static Rules defaults();
    };

private:
    explicit AddressPolicy(bool restricted) : m_restricted(restricted) {}
    bool m_restricted = false;
};

} // namespace vellora
