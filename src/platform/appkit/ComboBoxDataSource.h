#pragma once

#include <QColor>
#include <QFont>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QVariant>

class QComboBox;

namespace platform {

// A text made of runs, each in its own font and colour, left-aligned: what a list item shows when it
// carries more than a plain label.
struct StyledText
{
    struct Run
    {
        QString text;
        QFont font;
        QColor color;
    };
    QList<Run> runs;

    QString plainText() const;
    bool operator==(const StyledText &other) const;
};

// The source of a non-editable combo box's items, asked for the count and for each item (a text or a
// StyledText) whenever the list is reloaded.
class ComboBoxDataSource
{
public:
    virtual ~ComboBoxDataSource() = default;
    virtual qsizetype numberOfItemsInComboBox(QComboBox &comboBox) = 0;
    virtual QVariant comboBoxObjectValueForItemAtIndex(QComboBox &comboBox, qsizetype index) = 0;
};

// Makes the combo box non-editable, fed by the source (which must outlive it), with styled items
// drawn run by run; then reloads it. A user's pick arrives through QComboBox::activated; selections
// made in code (selectItemAtIndex) send no signal. Main thread only.
void setDataSource(QComboBox &comboBox, ComboBoxDataSource *dataSource);
// Asks the source again for every item; the selection stays at its index when it still exists.
void reloadData(QComboBox &comboBox);
// Selects the item at the index without telling anyone; an index outside the list clears the selection.
void selectItemAtIndex(QComboBox &comboBox, qsizetype index);
// The selected index, or -1.
qsizetype indexOfSelectedItem(const QComboBox &comboBox);
// The item at the index as the source gave it (a text or a StyledText); invalid outside the list.
QVariant itemObjectValue(const QComboBox &comboBox, qsizetype index);

} // namespace platform

Q_DECLARE_METATYPE(platform::StyledText)
