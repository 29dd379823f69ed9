#pragma once
// The application's identity. The program sets its identifier at start;
// a bare executable (a test) has none, and what depends on it stays off.

#include <QString>

namespace vellora {

inline constexpr const char *kVelloraBundleIdentifier = "com.quendle.vellora";

// Empty until setBundleIdentifier() was called.
QString bundleIdentifier();
void setBundleIdentifier(const QString &identifier);

} // namespace vellora
