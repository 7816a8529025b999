#pragma once

#include <QString>
#include <QVariantMap>

// The JSON text of a dictionary through the REST framework's parser for the JSON MIME type, as the
// transports send their bodies; the empty text (and an error logged) when it cannot be written.
QString HMJsonTextFromDictionary(const QVariantMap &dictionary);
