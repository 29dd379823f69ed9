#pragma once
// Splits a web address into its parts without rewriting any of them.
//
// The library compares addresses as text (duplicate links, content hashes,
// host rules), so the parts must be exactly the characters the user gave:
// no case folding of the scheme or host, no conversion of international
// names, no percent-decoding. QUrl normalises all of these, hence this small
// parser of our own, in the shape of RFC 3986's generic syntax.

#include <QString>
#include <optional>

class QHostAddress;

namespace vellora {

struct WebAddress {
    QString scheme;         // as written; empty for a relative reference
    bool hasAuthority = false; // "//" followed the scheme (or began the text)
    QString userInfo;       // before "@" in the authority, without the "@"
    QString host;           // as written, brackets of an IPv6 literal included
    QString port;           // digits only; empty when absent
    QString path;
    std::optional<QString> query;    // after "?", without it
    std::optional<QString> fragment; // after "#", without it

    // Nothing when the text is not a URL reference: ASCII control characters
    // or spaces, characters never allowed in a URL (" < > \ ^ ` { | }), a
    // malformed percent escape, a scheme that is not
    // ALPHA *(ALPHA / DIGIT / "+" / "-" / "."), or a port that is not digits.
    // Characters outside ASCII are kept as they are.
    static std::optional<WebAddress> parse(const QString &text);

    // The host of `text` when it parses with an authority, else empty.
    static QString hostOf(const QString &text);
};

// True for "localhost" (any case) and loopback addresses: the one place plain
// http is allowed, for servers on this machine.
bool isLoopbackHost(const QString &host);

// True for an address of this machine or of a local network: loopback,
// link-local, the private and shared ranges (10/8, 172.16/12, 192.168/16,
// 100.64/10, fc00::/7), unspecified, multicast and broadcast; IPv4 inside
// IPv6 counts as the IPv4 address.
bool isLocalNetworkAddress(const QHostAddress &address);
// True for a host name that needs no lookup to be known as local:
// "localhost" and its subdomains, and address literals isLocalNetworkAddress() takes.
bool isLocalNetworkHostName(const QString &host);

} // namespace vellora
