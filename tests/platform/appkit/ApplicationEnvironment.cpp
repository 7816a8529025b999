// Widgets need one application object for the whole test program; it renders offscreen.
#include <gtest/gtest.h>

#include <QApplication>

#include <memory>

namespace {

class ApplicationEnvironment final : public testing::Environment
{
public:
    void SetUp() override
    {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        m_application = std::make_unique<QApplication>(m_argc, m_argv);
    }
    void TearDown() override { m_application.reset(); }

private:
    int m_argc = 1;
    char m_name[16] = "test_appkit";
    char *m_argv[2] = {m_name, nullptr};
    std::unique_ptr<QApplication> m_application;
};

// GoogleTest owns the environment once added.
[[maybe_unused]] testing::Environment *const s_environment =
    testing::AddGlobalTestEnvironment(new ApplicationEnvironment);

} // namespace
