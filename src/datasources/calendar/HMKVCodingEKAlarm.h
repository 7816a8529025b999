#pragma once

#include "platform/eventkit/EKAlarm.h"
#include "platform/foundation/KeyedArchiver.h"

// An alarm that can sit in a keyed archive. Reading one back decodes nothing: the alarm stays as it
// was made. Nothing in the system creates one; it exists for archives that name its class.
class HMKVCodingEKAlarm final : public platform::KeyedArchivable
{
public:
    HMKVCodingEKAlarm() = default;
    explicit HMKVCodingEKAlarm(const platform::EKAlarm &alarm) : m_alarm(alarm) {}

    const platform::EKAlarm &alarm() const { return m_alarm; }

    QString archiveClassName() const override { return QStringLiteral("HMKVCodingEKAlarm"); }
    void encodeWithCoder(platform::KeyedArchiver &) const override {}
    void initWithCoder(platform::KeyedUnarchiver &) override {}

private:
    platform::EKAlarm m_alarm;
};
