#pragma once

#include <QByteArray>
#include <QString>

// The addresses and the application's credentials of the Google services. Each host is a base address
// ending in a slash; the environment variables HM_GOOGLE_API_HOST, HM_GOOGLE_CONTACTS_HOST and
// HM_GOOGLE_ACCOUNTS_HOST replace them (tests point them at the peer on loopback).
namespace googlehosts {

inline constexpr char kDefaultApiHost[] = "https://www.googleapis.com/";
inline constexpr char kDefaultContactsHost[] = "https://www.google.com/";
inline constexpr char kDefaultAccountsHost[] = "https://accounts.google.com/";

// The application's OAuth client identifier and the fixed client secret sent with it.
inline constexpr char kClientId[] = "884120357716-hmsyncdesktop.apps.googleusercontent.com";
inline constexpr char kClientSecret[] = "Qw7TzRkLm2VbXa9PfHsN4cJe";

// The most a reply may hold: a page of events or tasks, the answer to a written entry, the answer to a
// deletion.
inline constexpr qint64 kMaxPageReplyBytes = 16LL * 1024 * 1024;
inline constexpr qint64 kMaxWriteReplyBytes = 4 * 1024 * 1024;
inline constexpr qint64 kMaxDeletionReplyBytes = 1024 * 1024;

QString apiHost();
QString contactsHost();
QString accountsHost();

// Whether the text may stand in an Authorization header or a form as a token: one or more of the
// letters, digits and "-._~+/", then any "=" (the bearer-token alphabet). Line breaks, blanks, quotes
// and every other character are refused.
bool isTokenText(const QString &token);
// "Bearer " and the access token with every "/" written "%2F".
QByteArray bearerHeaderValue(const QString &accessToken);

} // namespace googlehosts
