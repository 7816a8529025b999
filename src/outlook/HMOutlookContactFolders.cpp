#include "outlook/HMOutlookContactFolders.h"

#include "outlook/HMAppleScripter.h"

using platform::NSAppleEventDescriptor;

QVariantMap contactFoldersDictionaryFromResult(const NSAppleEventDescriptor &result)
{
    const QString allFolders = QStringLiteral("All Contact Folders");
    QVariantMap folders{{allFolders, QStringLiteral("allFolders")}};
    for (qint64 i = 1; i <= result.numberOfItems(); ++i) {
        const NSAppleEventDescriptor item = result.descriptorAtIndex(i);
        const QString id = item.descriptorForKeyword(platform::Keyword::ID).stringValue();
        const QString name = item.descriptorForKeyword(platform::Keyword::Name).stringValue();
        if (id.isNull() || name.isNull() || name == allFolders)
            continue;
        folders.insert(name, id);
    }
    return folders;
}

QVariantMap outlookContactFoldersDictionary(HMAppleScripterDelegate *delegate)
{
    HMAppleScripter scripter;
    scripter.setDelegate(delegate);
    return contactFoldersDictionaryFromResult(scripter.executeScriptSynchronously(scripter.getOutlookAddressBookFoldersEvent()));
}
