#pragma once

// A small JSON reader for tests that check what a program printed: objects, arrays, strings
// (with \u escapes of the basic plane), numbers, booleans and null. A text that is no JSON
// value fails the test that asked and reads as null.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace testing_support {

struct TJson {
    enum TType { Null, Boolean, Number, String, Array, Object } Type = Null;
    bool Bool = false;
    double Num = 0;
    std::string Str;
    std::vector<TJson> Items;
    std::map<std::string, TJson> Members;

    // The member, or null when there is none (or this is no object).
    const TJson& operator[](const std::string& name) const {
        static const TJson none;
        const auto found = Members.find(name);
        return found == Members.end() ? none : found->second;
    }
    const TJson& operator[](size_t index) const {
        static const TJson none;
        return index < Items.size() ? Items[index] : none;
    }
    size_t Size() const { return Type == Array ? Items.size() : Members.size(); }
};

class TJsonReader {
  public:
    explicit TJsonReader(const std::string& text) : FText(text) {}

    bool Read(TJson& value) {
        if (!Value(value)) {
            return false;
        }
        Blanks();
        return FAt == FText.size();
    }

  private:
    void Blanks() {
        while (FAt < FText.size() && std::strchr(" \t\r\n", FText[FAt]))
            ++FAt;
    }
    bool Take(char c) {
        Blanks();
        if (FAt < FText.size() && FText[FAt] == c) {
            ++FAt;
            return true;
        }
        return false;
    }
    bool Word(const char* word) {
        const size_t length = std::strlen(word);
        if (FText.compare(FAt, length, word) != 0)
            return false;
        FAt += length;
        return true;
    }
    bool Text(std::string& out) {
        if (!Take('"'))
            return false;
        while (FAt < FText.size() && FText[FAt] != '"') {
            char c = FText[FAt++];
            if (static_cast<unsigned char>(c) < 0x20)
                return false;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (FAt >= FText.size())
                return false;
            c = FText[FAt++];
            const char* plain = "\"\\/bfnrt";
            const char* meaning = "\"\\/\b\f\n\r\t";
            if (const char* found = std::strchr(plain, c); found && c) {
                out += meaning[found - plain];
            } else if (c == 'u' && FAt + 4 <= FText.size()) {
                const unsigned code = std::stoul(FText.substr(FAt, 4), nullptr, 16);
                FAt += 4;
                if (code < 0x80) {
                    out += static_cast<char>(code);
                } else if (code < 0x800) {
                    out += static_cast<char>(0xC0 | (code >> 6));
                    out += static_cast<char>(0x80 | (code & 0x3F));
                } else {
                    out += static_cast<char>(0xE0 | (code >> 12));
                    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
                    out += static_cast<char>(0x80 | (code & 0x3F));
                }
            } else {
                return false;
            }
        }
        return FAt++ < FText.size();
    }
    bool Value(TJson& value) {
        Blanks();
        if (FAt >= FText.size())
            return false;
        const char c = FText[FAt];
        if (c == '{') {
            value.Type = TJson::Object;
            ++FAt;
            if (Take('}'))
                return true;
            do {
                std::string name;
                TJson member;
                if (!Text(name) || !Take(':') || !Value(member))
                    return false;
                value.Members[name] = std::move(member);
            } while (Take(','));
            return Take('}');
        }
        if (c == '[') {
            value.Type = TJson::Array;
            ++FAt;
            if (Take(']'))
                return true;
            do {
                value.Items.emplace_back();
                if (!Value(value.Items.back()))
                    return false;
            } while (Take(','));
            return Take(']');
        }
        if (c == '"') {
            value.Type = TJson::String;
            return Text(value.Str);
        }
        if (Word("true") || Word("false")) {
            value.Type = TJson::Boolean;
            value.Bool = FText[FAt - 1] == 'e' && FText[FAt - 2] == 'u';
            return true;
        }
        if (Word("null"))
            return true;
        char* end = nullptr;
        value.Num = std::strtod(FText.c_str() + FAt, &end);
        if (end == FText.c_str() + FAt)
            return false;
        value.Type = TJson::Number;
        FAt = static_cast<size_t>(end - FText.c_str());
        return true;
    }

    const std::string& FText;
    size_t FAt = 0;
};

// The value the text holds; a failure of the calling test when it holds none.
inline TJson ParseJson(const std::string& text) {
    TJson value;
    if (!TJsonReader(text).Read(value)) {
        ADD_FAILURE() << "not JSON: " << text;
        return TJson();
    }
    return value;
}

}  // namespace testing_support
