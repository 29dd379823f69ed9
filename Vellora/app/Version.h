#pragma once
// What the running build calls itself. Version and build number are given by
// the build system; each is computed once and never changes in a process.

#include <QString>
#include <QStringView>

namespace vellora {

// The marketing version, "0" when the build gave none.
QString appVersion();
// The build number, 0 when the build gave none or it does not parse.
qint64 appBuild();
// "Vellora <version> (<build>) · Beta".
QString betaLabel();

// A signed decimal: one optional leading sign, then ASCII digits only, inside
// the signed 64-bit range. Anything else (empty, a lone sign, a space, a dot,
// a letter, an overflow) gives 0.
qint64 parseBuildNumber(QStringView text);
QString versionOrZero(const QString &text);
QString makeBetaLabel(const QString &version, qint64 build);

} // namespace vellora
