#pragma once

#include <QString>
#include <QVariantMap>
#include <QtGlobal>

// Record normalisation of the sync controller. The two sides keep names and recurrence in different
// shapes: one sends a five-part name (salutation, first, middle, last, suffix), another a two-part name
// or only a whole name; an event carries rule text or a rule object. Before a record is applied to the
// Mac store, and before a Mac record is sent, every form that can be derived is filled in. Only empty
// keys are filled ("empty" is missing or of length 0), except that the five-part split replaces the
// salutation it derives. A derived part that does not exist is written as no value, which removes the
// key.
//
// Stateless: any thread may call these, as long as no other thread uses the record meanwhile.

// Conduit 1 (contacts) runs normalizeContactDictionary, conduit 2 (calendar) normalizeEventDictionary;
// every other conduit leaves the record as it is.
void normalizeDictionary(QVariantMap &record, quint64 conduit);

// Fills "FULLNAME", the five-part name, the two-part name and "FILEAS", each only when it was empty
// when the record came in.
void normalizeContactDictionary(QVariantMap &record);
// Adds the recurrence fields of the record's "RRULE" text, or, without one, the rule text of its
// recurrence fields or rule object ("RRULE" as the empty text when there is none).
void normalizeEventDictionary(QVariantMap &record);
// Tasks, memos and recurrence on its own need nothing: these leave the record as it is.
void normalizeTaskDictionary(QVariantMap &record);
void normalizeMemoDictionary(QVariantMap &record);
void normalizeRecurrenceInDictionary(QVariantMap &record);

// The steps of normalizeContactDictionary.
// "FULLNAME" from the five-part name, else from the two-part name; the empty text when both are empty.
void normalizeFullname(QVariantMap &record);
// "SALUTATION", "NEWFNAME", "NEWLNAME" (and an empty "SUFFIX" or "MIDNAME" the split finds) from the
// two-part name, else from the whole name.
void normalizeFivePartName(QVariantMap &record);
// "FIRSTNAME" and "LASTNAME" from the five-part name, else from the whole name.
void normalizeTwoPartName(QVariantMap &record);
// "FILEAS": "Last, First", else the last or first name alone, else the nickname, else the company.
void normalizeFileAs(QVariantMap &record);

// Parts of a name text. Every result is trimmed of white space and line breaks; "none" is a null text.
// The word after the last space; the whole text when it holds no space.
QString getLastName(const QString &name);
// The text without its last word.
QString removeLastName(const QString &name);
// The salutation at the start of the name, as written there ("Dr.", "Mr and Mrs"); none when the name
// holds neither a space nor a dot, or does not start with a salutation word (mr, mrs, ms, dr, rev,
// prof, miss, each with or without a dot, possibly joined by "and" or "&").
QString getSalutation(const QString &name);
QString removeSalutation(const QString &name);
// The suffix that ends the name, as written there ("Jr.", "III", "M.D."); none when the name holds no
// space or its last word is not a suffix word (sr, jr, i, ii, iii, iv, md, rn, esq, dds).
QString getSuffix(const QString &name);
// The name without its suffix, and without the comma that set the suffix off ("Smith, Jr.").
QString removeSuffix(const QString &name);
