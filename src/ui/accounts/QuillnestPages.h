#pragma once

#include <QUrl>

// The cloud service's web pages the account sheets link to.
namespace QuillnestPages {

inline QUrl createAccount()
{
    return QUrl(QStringLiteral("https://www.quillnest.com/account/create"));
}
inline QUrl account()
{
    return QUrl(QStringLiteral("https://www.quillnest.com/account"));
}
inline QUrl customerSignIn()
{
    return QUrl(QStringLiteral("https://www.quillnest.com/customer/signin"));
}

} // namespace QuillnestPages
