#pragma once

// What the Outlook id-map tests share: a temporary home holding the maps, no sync method chosen and
// no Outlook version known, so that each map lies where a fresh profile keeps it.
#include "foundation/GlobalVariables.h"
#include "platform/foundation/UserDefaults.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

class OutlookMapFixture : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_home.isValid());
        testsupport::pointHomeAt(m_home.path());
        platform::UserDefaults::standardUserDefaults().setObject(QVariant(), QStringLiteral("SyncMethodSetting"));
        GlobalVariables::setOutlookVersionNumberInConfiguration(QString());
    }

    QTemporaryDir m_home;
};
