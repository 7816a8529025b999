// Launch at login through the XDG autostart folder, the link button and the image transformer.
#include "ShellTestSupport.h"

#include "app/HMHyperLinkButton.h"
#include "app/NSApplication+MXUtilities.h"
#include "app/RFImageToDataTransformer.h"
#include "foundation/QtPrinters.h"
#include "platform/appkit/Image.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeEntry(const QString &folder, const QString &name, const QByteArray &exec)
{
    QDir().mkpath(folder);
    QFile file(QDir(folder).filePath(name));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("[Desktop Entry]\nType=Application\nName=Other\nExec=" + exec + "\n");
}

class LaunchAtLogin : public testing::Test
{
protected:
    QStringList entryNames() const
    {
        return QDir(m_home.autostartFolder()).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    }

    TemporaryHome m_home;
    platform::Application m_application{QStringList{QStringLiteral("harrowmere")}};
};

TEST_F(LaunchAtLogin, SwitchingOnTwiceLeavesOneEntryAndRemovesOtherCopies)
{
    writeEntry(m_home.autostartFolder(), QStringLiteral("old-harrowmere.desktop"), "\"/opt/Harrowmere 1.0/harrowmere\" --x");
    writeEntry(m_home.autostartFolder(), QStringLiteral("mail.desktop"), "/usr/bin/mail-client");
    EXPECT_FALSE(launchAtLogin(m_application));

    setLaunchAtLogin(m_application, true);
    setLaunchAtLogin(m_application, true);
    EXPECT_TRUE(launchAtLogin(m_application));
    EXPECT_EQ(entryNames(), (QStringList{"com.harrowmere.Harrowmere.desktop", "mail.desktop"}));
    const QString program = QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath();
    EXPECT_EQ(readFile(m_home.autostartFolder() + QStringLiteral("/com.harrowmere.Harrowmere.desktop")),
              QStringLiteral("[Desktop Entry]\nType=Application\nName=Harrowmere\nExec=\"%1\" \"--launched-at-login\"\n"
                             "Icon=com.harrowmere.Harrowmere\nTerminal=false\nX-GNOME-Autostart-enabled=true\n")
                  .arg(program)
                  .toUtf8());
    const std::optional<platform::LoginItem> item = loginItem(m_application);
    ASSERT_TRUE(item.has_value());
    EXPECT_EQ(item->programPath, program);

    setLaunchAtLogin(m_application, false);
    EXPECT_FALSE(launchAtLogin(m_application));
    EXPECT_EQ(entryNames(), QStringList{"mail.desktop"});
    setLaunchAtLogin(m_application, false);
    EXPECT_EQ(entryNames(), QStringList{"mail.desktop"});
}

TEST_F(LaunchAtLogin, EntriesThatAreNotPlainDesktopFilesAreNotOurs)
{
    const QString program = QCoreApplication::applicationFilePath();
    writeEntry(m_home.autostartFolder(), QStringLiteral("broken.desktop"), "\"" + program.toUtf8());
    writeEntry(m_home.autostartFolder(), QStringLiteral("notes.txt"), program.toUtf8());
    writeEntry(m_home.path(), QStringLiteral("elsewhere.desktop"), program.toUtf8());
    QFile::link(m_home.path() + QStringLiteral("/elsewhere.desktop"), m_home.autostartFolder() + QStringLiteral("/link.desktop"));
    EXPECT_FALSE(launchAtLogin(m_application));

    struct Row { const char *exec; const char *program; };
    const Row rows[] = {{"/usr/bin/a --flag", "/usr/bin/a"}, {"\"/opt/my app/b\" %U", "/opt/my app/b"},
                        {"\"/opt/q\\\"uote\"", "/opt/q\"uote"}, {"\"/unterminated", ""}, {"", ""}};
    for (const Row &row : rows)
        EXPECT_EQ(platform::LoginItems::programOfExecLine(QString::fromLatin1(row.exec)), QString::fromLatin1(row.program))
            << row.exec;
}

TEST(HyperLinkButton, ShowsItsTitleAsALinkAndOpensOnlyAnAddress)
{
    QList<QUrl> opened;
    platform::Workspace::sharedWorkspace().setOpener([&](platform::Workspace::RequestKind, const QUrl &url) {
        opened.append(url);
        return true;
    });
    HMHyperLinkButton button;
    button.setTitle(QStringLiteral("Support"));
    EXPECT_EQ(button.hyperlinkTitle(), QStringLiteral("Support"));
    EXPECT_EQ(button.text(), QStringLiteral("Support"));
    EXPECT_TRUE(button.styleSheet().contains(QStringLiteral("text-decoration: underline"))) << button.styleSheet().toStdString();
    EXPECT_TRUE(button.styleSheet().contains(QStringLiteral("color: #0000ff"))) << button.styleSheet().toStdString();
    EXPECT_TRUE(button.isFlat());
    EXPECT_EQ(button.cursor().shape(), Qt::PointingHandCursor);
    button.click();
    EXPECT_TRUE(opened.isEmpty());

    const QUrl address(QStringLiteral("https://www.harrowmere.com/support"));
    button.setHyperlinkUrl(address);
    button.setHyperlinkUrl(address);
    button.click();
    EXPECT_EQ(opened, QList<QUrl>{address});
    button.setHyperlinkUrl(QUrl());
    button.click();
    EXPECT_EQ(opened.size(), 1);
    platform::Workspace::sharedWorkspace().setOpener({});
}

TEST(ImageToDataTransformer, RoundTripsAnImageAndRefusesGarbage)
{
    const RFImageToDataTransformer transformer;
    EXPECT_TRUE(RFImageToDataTransformer::allowsReverseTransformation());
    EXPECT_EQ(RFImageToDataTransformer::transformedValueClass(), QMetaType::fromType<QByteArray>());
    const platform::Image image = platform::Image::imageNamed(QStringLiteral("sync-7.png"));
    ASSERT_FALSE(image.isNull());
    const QByteArray data = transformer.transformedValue(image);
    EXPECT_TRUE(data.startsWith("\x89PNG\r\n\x1a\n"));
    const platform::Image back = transformer.reverseTransformedValue(data);
    EXPECT_EQ(back.image().convertToFormat(QImage::Format_ARGB32), image.image().convertToFormat(QImage::Format_ARGB32));
    EXPECT_TRUE(transformer.reverseTransformedValue("not an image").isNull());
    EXPECT_TRUE(transformer.transformedValue(platform::Image()).isEmpty());
    EXPECT_TRUE(platform::Image::imageNamed(QStringLiteral("../etc/passwd")).isNull());
    EXPECT_TRUE(platform::Image::imageNamed(QStringLiteral("missing.png")).isNull());
}

} // namespace
