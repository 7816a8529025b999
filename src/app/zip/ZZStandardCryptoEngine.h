#pragma once

#include <QByteArray>

// The three keys of the zip format's traditional encryption, started from the password and moved on
// by every plain byte.
class ZZStandardCryptoEngine final
{
public:
    void initKeys(const QByteArray &password);
    void updateKeys(uchar plainByte);
    uchar decryptByte() const;
    // Decrypts one byte and moves the keys on with the plain byte.
    uchar decrypt(uchar cipherByte);

private:
    quint32 m_keys[3] = {0, 0, 0};
};
