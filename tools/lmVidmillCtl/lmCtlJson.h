#pragma once

// The JSON the client prints: a small writer and the description of the schema, which the
// manual page carries.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ctl {

// Writes one JSON value; commas and nesting are kept track of, strings are escaped.
class TJsonWriter {
  public:
    void BeginObject();
    void EndObject();
    void BeginArray();
    void EndArray();
    // The name of the next member of the open object.
    void Key(std::string_view name);
    void String(std::string_view value);
    void Integer(int64_t value);
    void Number(double value);
    void Boolean(bool value);
    void Null();

    // Key and value in one.
    void Member(std::string_view name, std::string_view value) {
        Key(name);
        String(value);
    }
    void Member(std::string_view name, const char* value) { Member(name, std::string_view(value)); }
    void Member(std::string_view name, int64_t value) {
        Key(name);
        Integer(value);
    }
    void Member(std::string_view name, int32_t value) { Member(name, int64_t{value}); }
    void Member(std::string_view name, bool value) {
        Key(name);
        Boolean(value);
    }

    // The text written so far, with a closing line feed once the value is complete.
    std::string Text() const;

  private:
    void BeforeValue();

    std::string FText;
    std::vector<bool> FFirst;  // per open container: nothing written into it yet
    bool FAfterKey = false;
};

// JSON string escaping: quotes, backslashes and control characters; UTF-8 passes unchanged.
std::string JsonQuoted(std::string_view text);

// The schema every listing follows, for the manual page and the tool's README.
std::string JsonSchemaText();

}  // namespace ctl
