#include "tools/lmVidmillCtl/lmCtlFields.h"

#include <algorithm>

#include "tools/lmVidmillCtl/lmCtlCommandLine.h"

namespace ctl {

namespace {

bool IsPlainField(const TXMLElement* element) {
    return element->ChildCount() == 0 && element->Name != "uid";
}

std::string UidList(const TXMLElement* element) {
    std::string list;
    for (int i = 0; i < element->ChildCount(); ++i) {
        const TXMLElement* item = element->Children(i);
        std::string uid = item->AttributeByName("uid").Value;
        if (uid.empty()) {
            uid = item->Text.Text;
        }
        list += (list.empty() ? "" : ",") + uid;
    }
    return list;
}

}  // namespace

TFields FieldsOfElement(const TXMLElement* element) {
    TFields fields;
    for (int i = 0; element && i < element->ChildCount(); ++i) {
        const TXMLElement* child = element->Children(i);
        fields.push_back(
            {child->Name, child->ChildCount() == 0 ? child->Text.Text : UidList(child)});
    }
    return fields;
}

TFields ParseAssignments(const std::vector<std::string>& words, size_t first) {
    TFields fields;
    for (size_t i = first; i < words.size(); ++i) {
        const size_t equals = words[i].find('=');
        if (equals == std::string::npos || equals == 0) {
            throw TCtlError(exUsage, "expected FIELD=VALUE, not '" + words[i] + "'");
        }
        fields.push_back({words[i].substr(0, equals), words[i].substr(equals + 1)});
    }
    return fields;
}

void ResetDocument(TXMLUnicode& doc) {
    doc.Clear();
    doc.OpenElement("object");
    doc.GotoRoot();
}

void WriteChanges(TXMLUnicode& doc, const TFields& changes,
                  const std::vector<std::string>& optional, const std::string& kind) {
    TXMLElement* root = doc.Root();
    std::vector<std::string> valid;
    for (int i = 0; i < root->ChildCount(); ++i) {
        if (IsPlainField(root->Children(i))) {
            valid.push_back(root->Children(i)->Name);
        }
    }
    for (const std::string& key : optional) {
        if (std::find(valid.begin(), valid.end(), key) == valid.end()) {
            valid.push_back(key);
        }
    }
    for (const TField& change : changes) {
        if (std::find(valid.begin(), valid.end(), change.Key) == valid.end()) {
            std::string list;
            for (const std::string& key : valid) {
                list += (list.empty() ? "" : ", ") + key;
            }
            throw TCtlError(exUsage, "unknown field '" + change.Key + "' for a " + kind +
                                         "; valid fields: " + list);
        }
        if (TXMLElement* element = root->FindChild(change.Key)) {
            element->Text.Text = change.Value;
        } else {
            doc.GotoRoot();
            doc.AddElement(change.Key, change.Value);
        }
    }
}

void CheckChanges(const TFields& saved, const TFields& changes, const std::string& kind) {
    for (const TField& change : changes) {
        const std::string now = FieldValue(saved, change.Key);
        if (now != change.Value) {
            throw TCtlError(exUsage,
                            "invalid value '" + change.Value + "' for the " + kind + " field '" +
                                change.Key + "'" +
                                (now == "0" || now == "1" ? " (a boolean is 1 or 0)" : ""));
        }
    }
}

std::string FieldValue(const TFields& fields, const std::string& key) {
    for (const TField& field : fields) {
        if (field.Key == key) {
            return field.Value;
        }
    }
    return std::string();
}

}  // namespace ctl
