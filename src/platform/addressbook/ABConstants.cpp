#include "platform/addressbook/ABConstants.h"

namespace platform {

QString ABLocalizedPropertyOrLabel(const QString &propertyOrLabel)
{
    // The labels are stored as the words people read, so every label is its own displayed text.
    return propertyOrLabel;
}

} // namespace platform
