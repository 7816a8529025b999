#pragma once

#include <QString>

#include <openssl/x509.h>

namespace platform {

// A new store of the certificates a TLS connection trusts: the system's, plus those of an extra PEM
// file when one is given. The system's come from its certificate folder where that folder holds them
// under their hashed names (as update-ca-certificates and c_rehash leave them): only the issuers a
// chain needs are then read, as it is verified. Elsewhere the system's whole bundle file is read, as
// OpenSSL's default paths do. SSL_CERT_DIR and SSL_CERT_FILE choose other places, as they do for
// OpenSSL; a bundle SSL_CERT_FILE names beside a hashed folder is read whole, unless it is the
// system's own bundle. Null when the store cannot be made or the extra file not read; the caller frees it.
X509_STORE *newTrustStore(const QString &extraCaFile);

} // namespace platform
