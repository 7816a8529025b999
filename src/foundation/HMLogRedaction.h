#pragma once

#include <QString>

// What a log line may show of a form-encoded request body ("name=value&name=value"): every value whose
// name speaks of a credential (a user name, a password, a token, a secret, an authorisation or a
// session; the pairing id travels as the first two) is replaced by "<hidden>", the other pairs are kept
// as they stand. Logs end up in support archives users send on: no credential may reach them.
QString formBodyForLog(const QString &body);

// Whether a field of that name carries a credential, by the rule above.
bool isCredentialFieldName(const QString &name);
