#pragma once
// One release as the update feed describes it. Decoding is strict: a missing
// required key or a value of the wrong type fails the whole feed.

#include <QByteArray>
#include <QString>
#include <optional>

namespace vellora {

struct Appcast {
    QString version;
    qint64 build = 0;
    QString url;
    QString sha256;
    std::optional<QString> notes;
    std::optional<QString> minimumSystemVersion;
    std::optional<QString> published;

    bool operator==(const Appcast &) const = default;
};

struct AppcastDecodeResult {
    std::optional<Appcast> appcast;
    QString error; // set when appcast is empty
};

AppcastDecodeResult decodeAppcast(const QByteArray &json);
QByteArray encodeAppcast(const Appcast &appcast);

// Whether a release that asks for `minimum` ("15", "14.2", "14.2.1") runs on a
// system of version `running` ("12.5"): major and minor are compared, a
// third component is not used. An unreadable requirement never runs.
bool systemSatisfies(const QString &running, const QString &minimum);

// The running system's version, dotted: Debian's own version file when it
// holds numbers, else what Qt reports for the product.
QString runningSystemVersion();

} // namespace vellora
