#pragma once

#include <QString>

// Pairs a position in a field table with the name of the matching field of the desktop stores. A plain
// value; use it from one thread at a time.
class CpsObjectMap final
{
public:
    void SetIndex(qint32 index) { mArrayIndex = index; }
    void SetObjectMap(qint32 index, const QString &appleValue);
    qint32 GetIndex() const { return mArrayIndex; }
    // Null until a name was set.
    const QString &GetAppleField() const { return mAppleStr; }

private:
    qint32 mArrayIndex = 0;
    QString mAppleStr;
};
