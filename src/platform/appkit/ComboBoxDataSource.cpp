#include "platform/appkit/ComboBoxDataSource.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QPainter>
#include <QSignalBlocker>
#include <QStyledItemDelegate>
#include <QTextDocument>

namespace platform {

namespace {

constexpr char kDataSourceProperty[] = "hmComboBoxDataSource";
constexpr int kStyledTextRole = Qt::UserRole + 71;

// Draws an item holding a StyledText as its runs, one after another on the item's line.
class StyledTextItemDelegate final : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        const QVariant styled = index.data(kStyledTextRole);
        if (!styled.canConvert<StyledText>()) {
            QStyledItemDelegate::paint(painter, option, index);
            return;
        }
        QStyleOptionViewItem background = option;
        initStyleOption(&background, index);
        background.text.clear();
        background.widget->style()->drawControl(QStyle::CE_ItemViewItem, &background, painter, background.widget);
        painter->save();
        const bool selected = option.state & QStyle::State_Selected;
        qreal x = option.rect.left() + 4;
        for (const StyledText::Run &run : styled.value<StyledText>().runs) {
            const QFontMetricsF metrics(run.font);
            painter->setFont(run.font);
            painter->setPen(selected ? option.palette.highlightedText().color() : run.color);
            const QRectF box(x, option.rect.top(), option.rect.right() - x, option.rect.height());
            painter->drawText(box, Qt::AlignLeft | Qt::AlignVCenter, run.text);
            x += metrics.horizontalAdvance(run.text);
        }
        painter->restore();
    }

    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        const QVariant styled = index.data(kStyledTextRole);
        if (styled.canConvert<StyledText>()) {
            qreal width = 8;
            qreal height = 0;
            for (const StyledText::Run &run : styled.value<StyledText>().runs) {
                const QFontMetricsF metrics(run.font);
                width += metrics.horizontalAdvance(run.text);
                height = std::max(height, metrics.height());
            }
            size.setWidth(std::max(size.width(), int(width) + 1));
            size.setHeight(std::max(size.height(), int(height) + 4));
        }
        return size;
    }
};

ComboBoxDataSource *dataSourceOf(const QComboBox &comboBox)
{
    return static_cast<ComboBoxDataSource *>(comboBox.property(kDataSourceProperty).value<void *>());
}

} // namespace

QString StyledText::plainText() const
{
    QString text;
    for (const Run &run : runs)
        text += run.text;
    return text;
}

bool StyledText::operator==(const StyledText &other) const
{
    if (runs.size() != other.runs.size())
        return false;
    for (qsizetype i = 0; i < runs.size(); ++i) {
        const Run &a = runs[i];
        const Run &b = other.runs[i];
        if (a.text != b.text || a.font != b.font || a.color != b.color)
            return false;
    }
    return true;
}

void setDataSource(QComboBox &comboBox, ComboBoxDataSource *dataSource)
{
    comboBox.setEditable(false);
    comboBox.setProperty(kDataSourceProperty, QVariant::fromValue(static_cast<void *>(dataSource)));
    if (!dynamic_cast<StyledTextItemDelegate *>(comboBox.itemDelegate()))
        comboBox.setItemDelegate(new StyledTextItemDelegate(&comboBox));
    reloadData(comboBox);
}

void reloadData(QComboBox &comboBox)
{
    ComboBoxDataSource *const dataSource = dataSourceOf(comboBox);
    const QSignalBlocker blocker(comboBox);
    const int selected = comboBox.currentIndex();
    comboBox.clear();
    const qsizetype count = dataSource != nullptr ? dataSource->numberOfItemsInComboBox(comboBox) : 0;
    for (qsizetype i = 0; i < count; ++i) {
        const QVariant value = dataSource->comboBoxObjectValueForItemAtIndex(comboBox, i);
        if (value.canConvert<StyledText>() && value.metaType() == QMetaType::fromType<StyledText>()) {
            comboBox.addItem(value.value<StyledText>().plainText());
            comboBox.setItemData(int(i), value, kStyledTextRole);
        } else {
            comboBox.addItem(value.toString());
        }
    }
    comboBox.setCurrentIndex(selected < comboBox.count() ? selected : -1);
}

void selectItemAtIndex(QComboBox &comboBox, qsizetype index)
{
    const QSignalBlocker blocker(comboBox);
    comboBox.setCurrentIndex(index >= 0 && index < comboBox.count() ? int(index) : -1);
}

qsizetype indexOfSelectedItem(const QComboBox &comboBox)
{
    return comboBox.currentIndex();
}

QVariant itemObjectValue(const QComboBox &comboBox, qsizetype index)
{
    if (index < 0 || index >= comboBox.count())
        return {};
    const QVariant styled = comboBox.itemData(int(index), kStyledTextRole);
    return styled.isValid() ? styled : QVariant(comboBox.itemText(int(index)));
}

} // namespace platform
