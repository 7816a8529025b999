#include "platform/foundation/Identifiers.h"

#include <QUuid>

#include <openssl/err.h>
#include <openssl/evp.h>

#include <memory>

namespace platform {

namespace {

struct DigestContextFree
{
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};

struct DigestFree
{
    void operator()(EVP_MD *digest) const { EVP_MD_free(digest); }
};

QString lastCryptoError()
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return QStringLiteral("no reason given");
    char text[256] = {};
    ERR_error_string_n(code, text, sizeof text);
    return QString::fromLatin1(text);
}

} // namespace

QString newUuidText()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

Result<QByteArray> md5Digest(const QByteArray &bytes)
{
    const std::unique_ptr<EVP_MD, DigestFree> md5(EVP_MD_fetch(nullptr, "MD5", nullptr));
    if (!md5)
        return Error(ErrorCode::DataOther, QStringLiteral("MD5 is not available: %1").arg(lastCryptoError()));
    const std::unique_ptr<EVP_MD_CTX, DigestContextFree> context(EVP_MD_CTX_new());
    QByteArray digest(EVP_MAX_MD_SIZE, '\0');
    unsigned int digestLength = 0;
    if (!context || EVP_DigestInit_ex(context.get(), md5.get(), nullptr) != 1 ||
        EVP_DigestUpdate(context.get(), bytes.constData(), static_cast<size_t>(bytes.size())) != 1 ||
        EVP_DigestFinal_ex(context.get(), reinterpret_cast<unsigned char *>(digest.data()), &digestLength) != 1) {
        return Error(ErrorCode::DataOther,
                     QStringLiteral("MD5 of %1 bytes failed: %2").arg(bytes.size()).arg(lastCryptoError()));
    }
    digest.truncate(digestLength);
    return digest;
}

Result<QString> md5Text(const QByteArray &bytes)
{
    const Result<QByteArray> digest = md5Digest(bytes);
    if (!digest)
        return digest.error();
    return QString::fromLatin1(digest->toHex().toUpper());
}

} // namespace platform
