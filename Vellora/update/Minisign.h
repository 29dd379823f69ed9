#pragma once
// Minisign signatures (Ed25519 over the BLAKE2b-512 of a file, with a signed
// trusted comment), checked with libsodium. Releases are signed with the
// ordinary minisign tool; the signing side here exists for the build's own
// development key and for tests.

#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>

namespace vellora {

struct MinisignPublicKey {
    QByteArray keyId; // 8 bytes, as minisign stores it
    QByteArray key;   // 32 bytes

    // The base64 line of a minisign public key, or the whole ".pub" file text.
    static std::optional<MinisignPublicKey> parse(const QByteArray &text);
    QByteArray toBase64() const;
};

struct MinisignSecretKey {
    QByteArray keyId;  // 8 bytes
    QByteArray secret; // 64 bytes (libsodium's Ed25519 secret key)

    static MinisignSecretKey generate();
    MinisignPublicKey publicKey() const;
    // Our own plain form for the build folder's development key; not minisign's
    // encrypted secret-key file.
    QByteArray toText() const;
    static std::optional<MinisignSecretKey> fromText(const QByteArray &text);
};

struct MinisignVerdict {
    enum Code {
        Valid = 0,
        Malformed = 1,       // the signature file cannot be read as minisign's
        UnknownKey = 2,      // signed by a key we do not trust
        Unreadable = 3,      // the signed file cannot be read
        BadSignature = 4,    // the file's signature does not hold
        BadTrustedComment = 5 // the trusted comment's signature does not hold
    };
    Code code = Malformed;
    QString trustedComment; // only meaningful when code == Valid
};

MinisignVerdict verifyMinisign(const QString &filePath, const QByteArray &signatureText,
                               const QList<MinisignPublicKey> &trusted);

// A ".minisig" text for the file, prehashed as current minisign writes it.
// Empty when the file cannot be read.
QByteArray signMinisign(const MinisignSecretKey &key, const QString &filePath,
                        const QString &trustedComment);

} // namespace vellora
