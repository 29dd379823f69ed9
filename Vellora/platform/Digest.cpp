#include "Digest.h"

#include <QFile>
#include <openssl/evp.h>

#include <memory>

namespace vellora {

namespace {
struct MdContextDeleter {
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};
using MdContext = std::unique_ptr<EVP_MD_CTX, MdContextDeleter>;

MdContext startSha256()
{
    MdContext context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1)
        return nullptr;
    return context;
}

QByteArray finish(EVP_MD_CTX *context)
{
    QByteArray digest(EVP_MAX_MD_SIZE, Qt::Uninitialized);
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context, reinterpret_cast<unsigned char *>(digest.data()), &length) != 1)
        return {};
    digest.truncate(int(length));
    return digest;
}
} // namespace

QByteArray sha256(const QByteArray &data)
{
    MdContext context = startSha256();
    if (!context || EVP_DigestUpdate(context.get(), data.constData(), size_t(data.size())) != 1)
        return {};
    return finish(context.get());
}

std::optional<QByteArray> sha256OfFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    MdContext context = startSha256();
    if (!context)
        return std::nullopt;
    QByteArray chunk(1 << 20, Qt::Uninitialized);
    for (;;) {
        const qint64 n = file.read(chunk.data(), chunk.size());
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        if (EVP_DigestUpdate(context.get(), chunk.constData(), size_t(n)) != 1)
            return std::nullopt;
    }
    QByteArray digest = finish(context.get());
    if (digest.isEmpty())
        return std::nullopt;
    return digest;
}

QString sha256Hex(const QByteArray &digest)
{
    static const char digits[] = "0123456789abcdef";
    QString text;
    text.reserve(digest.size() * 2);
    for (const char c : digest) {
        const auto byte = static_cast<unsigned char>(c);
        text.append(QLatin1Char(digits[byte >> 4]));
        text.append(QLatin1Char(digits[byte & 0x0f]));
    }
    return text;
}

} // namespace vellora
