#pragma once
// SHA-256 on OpenSSL's libcrypto (which uses the CPU's SHA extensions where
// the processor has them). Content hashes of pictures and the update's
// download check both go through here.

#include <QByteArray>
#include <QString>
#include <optional>

namespace vellora {

// The 32-byte digest of `data`.
QByteArray sha256(const QByteArray &data);

// The digest of a file's bytes, read in chunks; nothing when it cannot be read.
std::optional<QByteArray> sha256OfFile(const QString &path);

// A digest as text: two lower-case hexadecimal digits per byte, in order.
QString sha256Hex(const QByteArray &digest);

} // namespace vellora
