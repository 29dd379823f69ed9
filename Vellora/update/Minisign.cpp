#include "Minisign.h"

#include <QFile>
#include <QList>
#include <sodium.h>

namespace vellora {

namespace {

constexpr int kKeyIdBytes = 8;
constexpr qsizetype kReadChunk = 1 << 20;

bool sodiumReady()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}

// BLAKE2b-512 of a file, streamed so that a large archive never sits in memory.
std::optional<QByteArray> blake2bOfFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, crypto_generichash_BYTES_MAX);
    QByteArray chunk;
    while (!file.atEnd()) {
        chunk = file.read(kReadChunk);
        if (chunk.isEmpty() && file.error() != QFileDevice::NoError)
            return std::nullopt;
        crypto_generichash_update(&state, reinterpret_cast<const unsigned char *>(chunk.constData()),
                                  size_t(chunk.size()));
    }
    if (file.error() != QFileDevice::NoError)
        return std::nullopt;
    QByteArray digest(crypto_generichash_BYTES_MAX, Qt::Uninitialized);
    crypto_generichash_final(&state, reinterpret_cast<unsigned char *>(digest.data()), size_t(digest.size()));
    return digest;
}

// The lines of a text without their line ends, blank lines dropped.
QList<QByteArray> contentLines(const QByteArray &text)
{
    QList<QByteArray> lines;
    for (QByteArray line : text.split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (!line.trimmed().isEmpty())
            lines.append(line);
    }
    return lines;
}

std::optional<QByteArray> strictBase64(const QByteArray &text, qsizetype expectedSize)
{
    const auto decoded = QByteArray::fromBase64Encoding(text.trimmed(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != expectedSize)
        return std::nullopt;
    return decoded.decoded;
}

const QByteArray kTrustedPrefix = "trusted comment: ";

} // namespace

std::optional<MinisignPublicKey> MinisignPublicKey::parse(const QByteArray &text)
{
    for (const QByteArray &line : contentLines(text)) {
        if (line.startsWith("untrusted comment:"))
            continue;
        const auto raw = strictBase64(line, 2 + kKeyIdBytes + crypto_sign_PUBLICKEYBYTES);
        if (!raw || !raw->startsWith("Ed"))
            return std::nullopt;
        return MinisignPublicKey{raw->mid(2, kKeyIdBytes), raw->mid(2 + kKeyIdBytes)};
    }
    return std::nullopt;
}

QByteArray MinisignPublicKey::toBase64() const
{
    return (QByteArray("Ed") + keyId + key).toBase64();
}

MinisignSecretKey MinisignSecretKey::generate()
{
    sodiumReady();
    MinisignSecretKey result;
    result.keyId = QByteArray(kKeyIdBytes, Qt::Uninitialized);
    randombytes_buf(result.keyId.data(), kKeyIdBytes);
    QByteArray publicKey(crypto_sign_PUBLICKEYBYTES, Qt::Uninitialized);
    result.secret = QByteArray(crypto_sign_SECRETKEYBYTES, Qt::Uninitialized);
    crypto_sign_keypair(reinterpret_cast<unsigned char *>(publicKey.data()),
                        reinterpret_cast<unsigned char *>(result.secret.data()));
    return result;
}

MinisignPublicKey MinisignSecretKey::publicKey() const
{
    // libsodium keeps the public half in the last 32 bytes of the secret key.
    return MinisignPublicKey{keyId, secret.right(crypto_sign_PUBLICKEYBYTES)};
}

QByteArray MinisignSecretKey::toText() const
{
    return "vellora development signing key\n" + (keyId + secret).toBase64() + "\n";
}

std::optional<MinisignSecretKey> MinisignSecretKey::fromText(const QByteArray &text)
{
    const QList<QByteArray> lines = contentLines(text);
    if (lines.size() < 2)
        return std::nullopt;
    const auto raw = strictBase64(lines.at(1), kKeyIdBytes + crypto_sign_SECRETKEYBYTES);
    if (!raw)
        return std::nullopt;
    return MinisignSecretKey{raw->left(kKeyIdBytes), raw->mid(kKeyIdBytes)};
}

MinisignVerdict verifyMinisign(const QString &filePath, const QByteArray &signatureText,
                               const QList<MinisignPublicKey> &trusted)
{
    MinisignVerdict verdict;
    if (!sodiumReady())
        return verdict;
    const QList<QByteArray> lines = contentLines(signatureText);
    // untrusted comment, signature, trusted comment, global signature
    if (lines.size() != 4 || !lines.at(0).startsWith("untrusted comment:")
        || !lines.at(2).startsWith(kTrustedPrefix))
        return verdict;
    const auto signature = strictBase64(lines.at(1), 2 + kKeyIdBytes + crypto_sign_BYTES);
    const auto globalSignature = strictBase64(lines.at(3), crypto_sign_BYTES);
    if (!signature || !globalSignature)
        return verdict;
    const QByteArray algorithm = signature->left(2);
    // Only the prehashed form: the legacy one signs the whole file in memory.
    if (algorithm != "ED")
        return verdict;
    const QByteArray keyId = signature->mid(2, kKeyIdBytes);
    const QByteArray fileSignature = signature->mid(2 + kKeyIdBytes);

    const MinisignPublicKey *key = nullptr;
    for (const MinisignPublicKey &candidate : trusted) {
        if (candidate.keyId == keyId && candidate.key.size() == crypto_sign_PUBLICKEYBYTES) {
            key = &candidate;
            break;
        }
    }
    if (!key) {
        verdict.code = MinisignVerdict::UnknownKey;
        return verdict;
    }
    const auto digest = blake2bOfFile(filePath);
    if (!digest) {
        verdict.code = MinisignVerdict::Unreadable;
        return verdict;
    }
    const auto *publicKey = reinterpret_cast<const unsigned char *>(key->key.constData());
    if (crypto_sign_verify_detached(reinterpret_cast<const unsigned char *>(fileSignature.constData()),
                                    reinterpret_cast<const unsigned char *>(digest->constData()),
                                    size_t(digest->size()), publicKey) != 0) {
        verdict.code = MinisignVerdict::BadSignature;
        return verdict;
    }
    const QByteArray trustedComment = lines.at(2).mid(kTrustedPrefix.size());
    const QByteArray signedComment = fileSignature + trustedComment;
    if (crypto_sign_verify_detached(reinterpret_cast<const unsigned char *>(globalSignature->constData()),
                                    reinterpret_cast<const unsigned char *>(signedComment.constData()),
                                    size_t(signedComment.size()), publicKey) != 0) {
        verdict.code = MinisignVerdict::BadTrustedComment;
        return verdict;
    }
    verdict.code = MinisignVerdict::Valid;
    verdict.trustedComment = QString::fromUtf8(trustedComment);
    return verdict;
}

QByteArray signMinisign(const MinisignSecretKey &key, const QString &filePath, const QString &trustedComment)
{
    if (!sodiumReady())
        return {};
    const auto digest = blake2bOfFile(filePath);
    if (!digest)
        return {};
    QByteArray fileSignature(crypto_sign_BYTES, Qt::Uninitialized);
    const auto *secret = reinterpret_cast<const unsigned char *>(key.secret.constData());
    crypto_sign_detached(reinterpret_cast<unsigned char *>(fileSignature.data()), nullptr,
                         reinterpret_cast<const unsigned char *>(digest->constData()), size_t(digest->size()), secret);
    const QByteArray comment = trustedComment.toUtf8();
    const QByteArray signedComment = fileSignature + comment;
    QByteArray globalSignature(crypto_sign_BYTES, Qt::Uninitialized);
    crypto_sign_detached(reinterpret_cast<unsigned char *>(globalSignature.data()), nullptr,
                         reinterpret_cast<const unsigned char *>(signedComment.constData()),
                         size_t(signedComment.size()), secret);
    return "untrusted comment: signature from vellora development key\n"
           + (QByteArray("ED") + key.keyId + fileSignature).toBase64() + "\n"
           + kTrustedPrefix + comment + "\n" + globalSignature.toBase64() + "\n";
}

} // namespace vellora
