// Finding the running Outlook against the simulated Outlook: each reference the detection tries, in
// a system root and home of the test's own, and the answers it refuses.
#include "OutlookPeerProcess.h"

#include "app/HMOutlookAccess.h"
#include "foundation/GlobalVariables.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QTemporaryDir>

namespace {

const QString kVersion = QStringLiteral("16.20");

// A system root and a home of the test's own; the simulated Outlook answers under the references
// given, its application bundles made where they are asked to be.
class OutlookDetection : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_oldRoot = qgetenv("HM_SYSTEM_ROOT");
        m_oldHome = qgetenv("HOME");
        m_oldRuntime = qgetenv("XDG_RUNTIME_DIR");
        qputenv("HM_SYSTEM_ROOT", m_root.path().toUtf8());
        qputenv("HOME", m_home.path().toUtf8());
        GlobalVariables::setOutlookApplicationReference(QString());
    }
    void TearDown() override
    {
        qputenv("HM_SYSTEM_ROOT", m_oldRoot);
        qputenv("HOME", m_oldHome);
        m_peer.reset();
        if (m_oldRuntime.isNull())
            qunsetenv("XDG_RUNTIME_DIR");
        else
            qputenv("XDG_RUNTIME_DIR", m_oldRuntime);
        GlobalVariables::setOutlookApplicationReference(QString());
    }
    // Starts the peer under the references; false when it did not start.
    bool startOutlook(const QStringList &references)
    {
        OutlookPeerProcess::Options options;
        for (const QString &reference : references)
            options.arguments << QStringLiteral("--reference") << reference;
        options.arguments << QStringLiteral("--version-text") << kVersion;
        m_peer = std::make_unique<OutlookPeerProcess>(options);
        return m_peer->isReady();
    }
    // Makes an application bundle folder: under the system root for a system path, else as named.
    void makeBundle(const QString &path) const
    {
        const QString onDisk = path.startsWith(m_home.path()) ? path : m_root.path() + path;
        ASSERT_TRUE(QDir().mkpath(onDisk)) << onDisk.toStdString();
    }
    QString detect(const HMOutlookDetection::WindowChoices &choices)
    {
        m_detection = std::make_unique<HMOutlookDetection>([choices] { return choices; });
        return m_detection->detectOutlookVersionNumber();
    }
    static HMOutlookDetection::WindowChoices title(const char *contactManagerTitle)
    {
        HMOutlookDetection::WindowChoices choices;
        choices.contactManagerTitle = QLatin1String(contactManagerTitle);
        return choices;
    }
    static QString storedReference() { return GlobalVariables::getOutlookApplicationReference(); }

    QTemporaryDir m_root;
    QTemporaryDir m_home;
    QByteArray m_oldRoot;
    QByteArray m_oldHome;
    QByteArray m_oldRuntime;
    std::unique_ptr<OutlookPeerProcess> m_peer;
    std::unique_ptr<HMOutlookDetection> m_detection;
};

TEST_F(OutlookDetection, TheNameAnswersFirstAndStaysTheReference)
{
    ASSERT_TRUE(startOutlook({HMOutlookDetection::kDefaultReference}));
    EXPECT_EQ(detect(title("Outlook 2016")), kVersion);
    EXPECT_EQ(storedReference(), QStringLiteral("Microsoft Outlook"));
    EXPECT_TRUE(m_detection->possibleOutlookApplicationPaths().isEmpty()) << "no search when the name answers";
}

TEST_F(OutlookDetection, OnlyTheBundlePathAnswersForOutlook2016)
{
    ASSERT_TRUE(startOutlook({HMOutlookDetection::kBundleReference}));
    EXPECT_TRUE(detect(title("Outlook 2016")).isNull()) << "a bundle path reaches nothing while its bundle is missing";
    makeBundle(HMOutlookDetection::kBundleReference);
    EXPECT_EQ(detect(title("Outlook 2016")), kVersion);
    EXPECT_EQ(storedReference(), QStringLiteral("/Applications/Microsoft Outlook.app"));
    EXPECT_TRUE(m_detection->possibleOutlookApplicationPaths().isEmpty());
}

TEST_F(OutlookDetection, AnOutlookOfAVirtualWindowsMachineIsNotTaken)
{
    for (const char *text : {"16.0 Windows", "Parallels boot 16", "16.0 (vm)", "WINDOWS"})
        EXPECT_TRUE(HMOutlookDetection::isVirtualMachineAnswer(QLatin1String(text))) << text;
    EXPECT_FALSE(HMOutlookDetection::isVirtualMachineAnswer(kVersion));
    ASSERT_TRUE(startOutlook({HMOutlookDetection::kDefaultReference, HMOutlookDetection::kBundleReference}));
    makeBundle(HMOutlookDetection::kBundleReference);
    m_peer->control({{QStringLiteral("op"), QStringLiteral("switches")},
                     {QStringLiteral("versionTextFor"), QJsonObject{{QStringLiteral("Microsoft Outlook"), QStringLiteral("16.0 Boot Camp")}}}});
    EXPECT_EQ(detect(title("Outlook 2016")), kVersion);
    EXPECT_EQ(storedReference(), HMOutlookDetection::kBundleReference);
    // Configured for Outlook 2011, the fallback is Office 2011's bundle, which is not there: the
    // search then finds the bundle in /Applications.
    EXPECT_EQ(detect(title("Outlook 2011")), kVersion);
    EXPECT_EQ(m_detection->possibleOutlookApplicationPaths(), QStringList{HMOutlookDetection::kBundleReference});
}

TEST_F(OutlookDetection, ACustomPathIsReadAsTheUserWroteItAndStoredWhenItAnswers)
{
    EXPECT_EQ(HMOutlookDetection::customApplicationReference(QStringLiteral("/Apps/Work/")), QStringLiteral("/Apps/Work/Microsoft Outlook.app"));
    EXPECT_EQ(HMOutlookDetection::customApplicationReference(QStringLiteral("/Apps/Mail.app")), QStringLiteral("/Apps/Mail.app"));
    EXPECT_EQ(HMOutlookDetection::customApplicationReference(QStringLiteral("/Apps/Microsoft Outlook")),
              QStringLiteral("/Apps/Microsoft Outlook.app"));
    EXPECT_EQ(HMOutlookDetection::customApplicationReference(QStringLiteral("/Apps/Work")), QStringLiteral("/Apps/Work/Microsoft Outlook.app"));

    const QString custom = QStringLiteral("/Apps/Work/Microsoft Outlook.app");
    ASSERT_TRUE(startOutlook({custom}));
    makeBundle(custom);
    HMOutlookDetection::WindowChoices choices = title("Outlook 2016");
    choices.useCustomOutlookApplicationPath = true;
    choices.outlookApplicationPathSetting = QStringLiteral("/Apps/Work");
    EXPECT_EQ(detect(choices), kVersion);
    EXPECT_EQ(storedReference(), custom) << "later scripts address the Outlook that answered";
}

TEST_F(OutlookDetection, TheSearchListsEveryOutlookInItsOrderAndTakesTheFirstThatAnswers)
{
    const QString home = m_home.path();
    const QString answering = home + QStringLiteral("/Desktop/Outlook Copy.app");
    for (const QString &bundle : {QStringLiteral("/Applications/Microsoft Office 2011/Microsoft Outlook.app"),
                                  home + QStringLiteral("/Applications/OUTLOOK beta.app"), answering,
                                  home + QStringLiteral("/Desktop/Notes.app"), home + QStringLiteral("/Documents/Outlook.txt")})
        makeBundle(bundle);
    ASSERT_TRUE(startOutlook({answering}));
    EXPECT_EQ(detect(title("Outlook 2011")), kVersion);
    EXPECT_EQ(m_detection->possibleOutlookApplicationPaths(),
              (QStringList{QStringLiteral("/Applications/Microsoft Office 2011/Microsoft Outlook.app"),
                           home + QStringLiteral("/Applications/OUTLOOK beta.app"), answering}));
    EXPECT_EQ(storedReference(), answering);
}

TEST_F(OutlookDetection, NoOutlookAnywhereIsNilAtOnce)
{
    QElapsedTimer timer;
    timer.start();
    EXPECT_TRUE(detect(title("Outlook 2016")).isNull());
    EXPECT_TRUE(m_detection->possibleOutlookApplicationPaths().isEmpty());
    EXPECT_FALSE(m_detection->testApplescript().isEmpty()) << "the scripting check needs no application";
    EXPECT_LT(timer.elapsed(), 2000);
}

TEST_F(OutlookDetection, AStalledOutlookIsGivenUpAfterTheShortTimeout)
{
    ASSERT_TRUE(startOutlook({HMOutlookDetection::kDefaultReference}));
    m_peer->control({{QStringLiteral("op"), QStringLiteral("switches")}, {QStringLiteral("stall"), true}});
    QElapsedTimer timer;
    timer.start();
    EXPECT_TRUE(detect(title("Outlook 2011")).isNull());
    EXPECT_LT(timer.elapsed(), 2 * 1000 * HMOutlookDetection::kScriptTimeout.count());
}

} // namespace
