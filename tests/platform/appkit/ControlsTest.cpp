// The window layer's controls for settings sheets: tags found only on the tab on screen, combo boxes
// fed by a data source with styled items, date pickers in the locale's short style, open panels with
// scripted answers.

#include "platform/appkit/ComboBoxDataSource.h"
#include "platform/appkit/DatePicker.h"
#include "platform/appkit/OpenPanel.h"
#include "platform/appkit/View.h"
#include "platform/appkit/WindowController.h"
#include "platform/dispatch/DispatchQueue.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QDateTimeEdit>
#include <QLabel>
#include <QLocale>
#include <QStyleOptionViewItem>
#include <QTabWidget>
#include <QAbstractItemDelegate>

using namespace platform;

namespace {

class ListSource final : public ComboBoxDataSource
{
public:
    qsizetype numberOfItemsInComboBox(QComboBox &) override
    {
        ++asked;
        return items.size();
    }
    QVariant comboBoxObjectValueForItemAtIndex(QComboBox &, qsizetype index) override { return items.value(index); }

    QVariantList items;
    int asked = 0;
};

TEST(ControlsTest, TagsAreFoundOnlyOnTheTabOnScreen)
{
    QWidget window;
    auto *tabs = new QTabWidget(&window);
    auto *first = new QWidget;
    auto *second = new QWidget;
    auto *onFirst = new QLabel(first);
    auto *onSecond = new QLabel(second);
    setTag(*onFirst, 5012);
    setTag(*onSecond, 5012);
    auto *onlySecond = new QLabel(second);
    setTag(*onlySecond, 58875);
    tabs->addTab(first, QStringLiteral("First"));
    tabs->addTab(second, QStringLiteral("Second"));
    EXPECT_EQ(viewWithTagOnScreen(&window, 5012), onFirst);
    EXPECT_EQ(viewWithTagOnScreen(&window, 58875), nullptr);
    EXPECT_EQ(viewWithTag(&window, 58875), onlySecond) << "the plain search looks at every tab";
    tabs->setCurrentWidget(second);
    EXPECT_EQ(viewWithTagOnScreen(&window, 5012), onSecond);
    EXPECT_EQ(viewWithTagOnScreen(&window, 58875), onlySecond);
}

TEST(ControlsTest, ComboBoxItemsComeFromTheSourceAndOnlyUserPicksAreActivated)
{
    QComboBox comboBox;
    comboBox.setEditable(true);
    ListSource source;
    QFont italic(QStringLiteral("Verdana"), 13);
    italic.setItalic(true);
    const StyledText styled{{{QStringLiteral("Work"), QFont(), QColor(Qt::black)},
                             {QStringLiteral(" - 3 records"), italic, QColor(Qt::darkGray)}}};
    source.items = {QStringLiteral("All Folders"), QVariant::fromValue(styled)};
    int activations = 0;
    QObject::connect(&comboBox, &QComboBox::activated, [&activations] { ++activations; });
    int changes = 0;
    QObject::connect(&comboBox, &QComboBox::currentIndexChanged, [&changes] { ++changes; });
    setDataSource(comboBox, &source);
    EXPECT_FALSE(comboBox.isEditable());
    ASSERT_EQ(comboBox.count(), 2);
    EXPECT_EQ(comboBox.itemText(1), QStringLiteral("Work - 3 records"));
    EXPECT_EQ(itemObjectValue(comboBox, 1).value<StyledText>(), styled);
    EXPECT_EQ(itemObjectValue(comboBox, 0).toString(), QStringLiteral("All Folders"));
    EXPECT_FALSE(itemObjectValue(comboBox, 2).isValid());

    selectItemAtIndex(comboBox, 1);
    EXPECT_EQ(indexOfSelectedItem(comboBox), 1);
    selectItemAtIndex(comboBox, 7);
    EXPECT_EQ(indexOfSelectedItem(comboBox), -1);
    EXPECT_EQ(activations, 0);
    EXPECT_EQ(changes, 0) << "selections made in code tell nobody";

    selectItemAtIndex(comboBox, 1);
    source.items.append(QStringLiteral("Home"));
    reloadData(comboBox);
    EXPECT_EQ(comboBox.count(), 3);
    EXPECT_EQ(indexOfSelectedItem(comboBox), 1) << "the selection stays at its index";
    source.items = {QStringLiteral("Only")};
    reloadData(comboBox);
    EXPECT_EQ(indexOfSelectedItem(comboBox), -1);
    // The styled item draws at the height of its largest run.
    source.items = {QVariant::fromValue(styled)};
    reloadData(comboBox);
    const QSize hint = comboBox.itemDelegate()->sizeHint(QStyleOptionViewItem(), comboBox.model()->index(0, 0));
    EXPECT_GE(hint.height(), QFontMetrics(italic).height());
}

TEST(ControlsTest, DatePickerShowsTheLocalesShortDateAndTime)
{
    const QLocale saved;
    for (const QLocale &locale : {QLocale(QLocale::English, QLocale::UnitedStates), QLocale(QLocale::German, QLocale::Germany)}) {
        QLocale::setDefault(locale);
        QDateTimeEdit picker;
        configureDatePicker(picker);
        const QDateTime when(QDate(2026, 12, 9), QTime(21, 30));
        picker.setDateTime(when);
        EXPECT_EQ(picker.text(), locale.toString(when, QLocale::ShortFormat)) << locale.name().toStdString();
        EXPECT_TRUE(picker.text().contains(locale == QLocale(QLocale::German, QLocale::Germany) ? QStringLiteral("21:30")
                                                                                                  : QStringLiteral("9:30")));
    }
    QLocale::setDefault(saved);
}

TEST(ControlsTest, OpenPanelsTakeScriptedAnswersModalAndModeless)
{
    OpenPanel panel;
    panel.setDirectory(QStringLiteral("/tmp/scripts"));
    panel.setCanChooseFiles(false);
    panel.setCanChooseDirectories(true);
    panel.setPrompt(QStringLiteral("Install"));
    panel.setMessage(QStringLiteral("Pick the folder"));
    ScriptedOpenPanelResponder responder({{NSModalResponseOK, QStringLiteral("/tmp/scripts")}});
    EXPECT_EQ(panel.runModal(), NSModalResponseOK);
    EXPECT_EQ(panel.path(), QStringLiteral("/tmp/scripts"));
    ASSERT_EQ(responder.recordedPanels().size(), 1);
    EXPECT_EQ(responder.recordedPanels().first().message, QStringLiteral("Pick the folder"));
    EXPECT_EQ(responder.recordedPanels().first().prompt, QStringLiteral("Install"));
    EXPECT_TRUE(responder.recordedPanels().first().canChooseDirectories);

    // Modeless: the answer comes from the event loop, after begin has returned.
    int response = -1;
    responder.appendAnswer({NSModalResponseOK, QStringLiteral("/elsewhere")});
    panel.begin([&response](int answer) { response = answer; });
    EXPECT_EQ(response, -1);
    DispatchQueue::runMainQueueUntilEmpty();
    EXPECT_EQ(response, NSModalResponseOK);
    EXPECT_EQ(panel.path(), QStringLiteral("/elsewhere"));
    // No answer left: cancelled, no path.
    EXPECT_EQ(panel.runModal(), NSModalResponseCancel);
    EXPECT_TRUE(panel.path().isNull());
}

} // namespace
