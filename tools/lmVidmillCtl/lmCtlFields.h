#pragma once

// The fields of configured objects as "key=value" text. The model objects know their fields:
// an object is saved to XML and every child of the element is a field; a change is written
// into that XML and loaded back, and a value that does not survive the load (a word for a
// number, a uid of nothing) is refused, so nothing unchecked reaches the engine.

#include <string>
#include <vector>

#include "foundation/kxXMLUnicode.h"

namespace ctl {

struct TField {
    std::string Key;
    std::string Value;
};
using TFields = std::vector<TField>;

// The children of the element: a child with children of its own becomes the comma-separated
// list of their uids ("uid" attribute or text).
TFields FieldsOfElement(const TXMLElement* element);

// "key=value" arguments; throws TCtlError (usage) for one without "=".
TFields ParseAssignments(const std::vector<std::string>& words, size_t first);

// An empty document with a root element for an object to save into.
void ResetDocument(TXMLUnicode& doc);

// Writes the changes into the saved object: every key must be a plain field the object saved,
// "uid" excepted, or one of `optional` (fields saved only when set). Throws TCtlError (usage)
// naming the valid keys.
void WriteChanges(TXMLUnicode& doc, const TFields& changes,
                  const std::vector<std::string>& optional, const std::string& kind);

// Throws TCtlError (usage) for a change whose value the reloaded object does not hold.
void CheckChanges(const TFields& saved, const TFields& changes, const std::string& kind);

template <class T>
TFields FieldsOf(const T& object) {
    TXMLUnicode doc;
    ResetDocument(doc);
    object.SaveToXML(doc);
    return FieldsOfElement(doc.Root());
}

// Applies the changes to the object through its XML and checks them.
template <class T>
void ChangeFields(T& object, const TFields& changes, const std::vector<std::string>& optional,
                  const std::string& kind) {
    TXMLUnicode doc;
    ResetDocument(doc);
    object.SaveToXML(doc);
    WriteChanges(doc, changes, optional, kind);
    doc.GotoRoot();
    object.LoadFromXML(doc);
    CheckChanges(FieldsOf(object), changes, kind);
}

// The value of a field, or empty.
std::string FieldValue(const TFields& fields, const std::string& key);

}  // namespace ctl
