#pragma once

#include <QString>

namespace platform {

// The property names and labels of the address book. Labels of multi-value entries are plain English
// words; ABLocalizedPropertyOrLabel gives the text a person sees for each.

// Plain properties of a person (text unless said).
inline const QString kABFirstNameProperty = QStringLiteral("FirstName");
inline const QString kABLastNameProperty = QStringLiteral("LastName");
inline const QString kABMiddleNameProperty = QStringLiteral("MiddleName");
inline const QString kABTitleProperty = QStringLiteral("Title"); // the salutation ("Dr.")
inline const QString kABSuffixProperty = QStringLiteral("Suffix");
inline const QString kABFirstNamePhoneticProperty = QStringLiteral("FirstNamePhonetic");
inline const QString kABLastNamePhoneticProperty = QStringLiteral("LastNamePhonetic");
inline const QString kABNicknameProperty = QStringLiteral("Nickname");
inline const QString kABOrganizationProperty = QStringLiteral("Organization");
inline const QString kABDepartmentProperty = QStringLiteral("Department");
inline const QString kABJobTitleProperty = QStringLiteral("JobTitle");
inline const QString kABNoteProperty = QStringLiteral("Note");
inline const QString kABBirthdayProperty = QStringLiteral("Birthday");                 // a date
inline const QString kABModificationDateProperty = QStringLiteral("ModificationDate"); // a date, read only
inline const QString kABGroupNameProperty = QStringLiteral("GroupName");               // groups

// Multi-value properties (ABMultiValue). Phones, e-mail addresses and URLs hold texts, instant
// messages and addresses dictionaries, other dates dates.
inline const QString kABPhoneProperty = QStringLiteral("Phone");
inline const QString kABEmailProperty = QStringLiteral("Email");
inline const QString kABURLsProperty = QStringLiteral("URLs");
inline const QString kABInstantMessageProperty = QStringLiteral("InstantMessage");
inline const QString kABAddressProperty = QStringLiteral("Address");
inline const QString kABOtherDatesProperty = QStringLiteral("OtherDates");

// Keys of address and instant-message dictionaries.
inline const QString kABAddressStreetKey = QStringLiteral("Street");
inline const QString kABAddressCityKey = QStringLiteral("City");
inline const QString kABAddressStateKey = QStringLiteral("State");
inline const QString kABAddressZIPKey = QStringLiteral("ZIP");
inline const QString kABAddressCountryKey = QStringLiteral("Country");
inline const QString kABInstantMessageUsernameKey = QStringLiteral("username");
inline const QString kABInstantMessageServiceKey = QStringLiteral("service");

// Labels.
inline const QString kABHomeLabel = QStringLiteral("home");
inline const QString kABWorkLabel = QStringLiteral("work");
inline const QString kABOtherLabel = QStringLiteral("other");
inline const QString kABPhoneHomeLabel = kABHomeLabel;
inline const QString kABPhoneWorkLabel = kABWorkLabel;
inline const QString kABPhoneMobileLabel = QStringLiteral("mobile");
inline const QString kABPhoneMainLabel = QStringLiteral("main");
inline const QString kABPhoneHomeFAXLabel = QStringLiteral("home fax");
inline const QString kABPhoneWorkFAXLabel = QStringLiteral("work fax");
inline const QString kABPhonePagerLabel = QStringLiteral("pager");
inline const QString kABEmailHomeLabel = kABHomeLabel;
inline const QString kABEmailWorkLabel = kABWorkLabel;
inline const QString kABAddressHomeLabel = kABHomeLabel;
inline const QString kABAddressWorkLabel = kABWorkLabel;
inline const QString kABAnniversaryLabel = QStringLiteral("anniversary");

// The English text a person sees for a property or label; other texts come back unchanged.
QString ABLocalizedPropertyOrLabel(const QString &propertyOrLabel);

} // namespace platform
