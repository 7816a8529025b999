#include "platform/restkit/TrustStore.h"

#include <QFile>

#include <openssl/err.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string_view>

namespace platform {

namespace {

// "<8 hex digits>.<digits>": how a certificate folder names a certificate by its subject's hash.
bool isHashedName(std::string_view name)
{
    constexpr std::string_view kHexDigits = "0123456789abcdef";
    constexpr size_t kHashLength = 8;
    if (name.size() < kHashLength + 2 || name[kHashLength] != '.')
        return false;
    const std::string_view hash = name.substr(0, kHashLength);
    const std::string_view number = name.substr(kHashLength + 1);
    return hash.find_first_not_of(kHexDigits) == std::string_view::npos &&
           number.find_first_not_of("0123456789") == std::string_view::npos;
}

// Whether one of the folders (a list parted by ':', as OpenSSL reads it) names a certificate by its hash.
bool holdsHashedNames(std::string_view folders)
{
    while (!folders.empty()) {
        const size_t end = std::min(folders.find(':'), folders.size());
        std::error_code error;
        for (std::filesystem::directory_iterator entry(std::filesystem::path(folders.substr(0, end)), error), last;
             !error && entry != last; entry.increment(error)) {
            if (isHashedName(entry->path().filename().native()))
                return true;
        }
        folders.remove_prefix(std::min(end + 1, folders.size()));
    }
    return false;
}

const char *environmentOr(const char *name, const char *fallback)
{
    const char *value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

// A bundle file the environment names, unless it is the system's own (which the hashed folder holds
// too, certificate by certificate): it may hold certificates the folder does not.
const char *extraBundleFile()
{
    const char *file = std::getenv(X509_get_default_cert_file_env());
    if (file == nullptr || *file == '\0')
        return nullptr;
    std::error_code error;
    return std::filesystem::equivalent(file, X509_get_default_cert_file(), error) ? nullptr : file;
}

// The system's certificates, read as they are needed from a hashed folder, or else as OpenSSL's
// default paths read them (the bundle file whole, and the folder).
bool addSystemCertificates(X509_STORE *store)
{
    const char *folders = environmentOr(X509_get_default_cert_dir_env(), X509_get_default_cert_dir());
    if (!holdsHashedNames(folders))
        return X509_STORE_set_default_paths(store) == 1;
    if (X509_STORE_load_path(store, folders) != 1)
        return false;
    if (const char *file = extraBundleFile())
        X509_STORE_load_file(store, file); // a missing file adds nothing, as with the default paths
    ERR_clear_error();
    return true;
}

} // namespace

X509_STORE *newTrustStore(const QString &extraCaFile)
{
    X509_STORE *store = X509_STORE_new();
    bool isLoaded = store != nullptr && addSystemCertificates(store);
    if (isLoaded && !extraCaFile.isEmpty())
        isLoaded = X509_STORE_load_file(store, QFile::encodeName(extraCaFile).constData()) == 1;
    if (!isLoaded) {
        X509_STORE_free(store);
        return nullptr;
    }
    return store;
}

} // namespace platform
