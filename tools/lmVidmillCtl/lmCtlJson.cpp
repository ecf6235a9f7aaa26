#include "tools/lmVidmillCtl/lmCtlJson.h"

#include <cmath>
#include <cstdio>

namespace ctl {

std::string JsonQuoted(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

void TJsonWriter::BeforeValue() {
    if (FAfterKey) {
        FAfterKey = false;
        return;
    }
    if (!FFirst.empty()) {
        if (!FFirst.back()) {
            FText += ',';
        }
        FFirst.back() = false;
    }
}

void TJsonWriter::BeginObject() {
    BeforeValue();
    FText += '{';
    FFirst.push_back(true);
}

void TJsonWriter::EndObject() {
    FText += '}';
    FFirst.pop_back();
}

void TJsonWriter::BeginArray() {
    BeforeValue();
    FText += '[';
    FFirst.push_back(true);
}

void TJsonWriter::EndArray() {
    FText += ']';
    FFirst.pop_back();
}

void TJsonWriter::Key(std::string_view name) {
    BeforeValue();
    FText += JsonQuoted(name);
    FText += ':';
    FAfterKey = true;
}

void TJsonWriter::String(std::string_view value) {
    BeforeValue();
    FText += JsonQuoted(value);
}

void TJsonWriter::Integer(int64_t value) {
    BeforeValue();
    FText += std::to_string(value);
}

void TJsonWriter::Number(double value) {
    BeforeValue();
    if (!std::isfinite(value)) {
        FText += "null";
        return;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    FText += text;
}

void TJsonWriter::Boolean(bool value) {
    BeforeValue();
    FText += value ? "true" : "false";
}

void TJsonWriter::Null() {
    BeforeValue();
    FText += "null";
}

std::string TJsonWriter::Text() const {
    return FFirst.empty() && !FText.empty() ? FText + "\n" : FText;
}

std::string JsonSchemaText() {
    return R"(Every command prints one JSON object on one line with --json.
A task:
  {"uid": "{...}", "file": "clip.mov", "state": "failed", "stateCode": 5,
   "progress": 42.5, "priority": 0, "message": "...", "sourceUid": "{...}",
   "source": "source name or empty", "queued": "...", "started": "...",
   "ended": "..." (times "yyyy-mm-dd hh:nn:ss", empty when unknown),
   "recallId": "..."}
A configured object: {"uid": "{...}", "name": "...", "fields": {"key": "value", ...}}
  with every field as text, exactly as "show" lists it and "set" takes it.
status   {"engine": {"name", "location", "version", "host", "port", "connection",
          "status"}, "counts": {"active", "queued", "failed", "tasks", "sources",
          "processors", "targets", "projects", "users"}}
tasks    {"tasks": [task...]}
watch    one line per change: {"event": "task", "task": task} (never redrawn)
config   {"engine": {"key": "value", ...}, "sources": [object...], "processors": [...],
          "targets": [...], "projects": [...], "users": [...]}
KIND list {"<kind>s": [object...]}; KIND show/add/set: {"<kind>": object}
KIND delete, cancel, remove, priority, clear, engine set:
         {"done": true, "message": "...", "tasks": ["{uid}", ...] (task commands)}
requeue  {"done": bool, "message": "...", "requeued": N, "refused": N,
          "refusals": [{"uid", "file", "reason"}...]}
Errors go to standard error as text; the exit code tells what happened.
)";
}

}  // namespace ctl
