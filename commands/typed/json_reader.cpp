// SPDX-License-Identifier: Apache-2.0
#include "commands/typed/json_reader.h"

#include <set>

#include "idl/hex_digit.h"

namespace zorlek::typed {
namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

class JsonReader {
  public:
    JsonReader(std::string_view text, JsonError* error) : text_(text), error_(error) {}

    std::optional<JsonValue> run() {
        JsonValue value;
        skipSpace();
        if (!readValue(&value, 0)) return std::nullopt;
        skipSpace();
        if (at_ != text_.size()) {
            fail("text after the value");
            return std::nullopt;
        }
        return value;
    }

  private:
    bool fail(const char* why) {
        error_->offset = at_;
        error_->why = why;
        return false;
    }
    bool more() const { return at_ < text_.size(); }
    // Steps past the character read; true.
    bool step() {
        ++at_;
        return true;
    }
    char peek() const { return more() ? text_[at_] : '\0'; }
    void skipSpace() {
        while (more() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r')) {
            ++at_;
        }
    }
    bool literal(std::string_view word) {
        if (text_.substr(at_, word.size()) != word) return fail("not a JSON value");
        at_ += word.size();
        return true;
    }

    bool readValue(JsonValue* value, uint32_t depth) {
        switch (peek()) {
            case 'n':
                value->kind = JsonValue::Kind::kNull;
                return literal("null");
            case 't':
                value->kind = JsonValue::Kind::kTrue;
                return literal("true");
            case 'f':
                value->kind = JsonValue::Kind::kFalse;
                return literal("false");
            case '"':
                value->kind = JsonValue::Kind::kString;
                return readString(&value->string);
            case '[':
            case '{':
                if (depth >= kMaxJsonDepth) return fail("nested too deeply");
                return peek() == '[' ? readArray(value, depth + 1) : readObject(value, depth + 1);
            default:
                value->kind = JsonValue::Kind::kNumber;
                return readNumber(&value->number);
        }
    }

    // -? (0 | [1-9][0-9]*) (. [0-9]+)? ([eE] [+-]? [0-9]+)?
    bool readNumber(std::string_view* number) {
        size_t start = at_;
        if (peek() == '-') ++at_;
        if (!isDigit(peek())) return fail("not a JSON value");
        if (peek() == '0') {
            ++at_;
        } else {
            while (isDigit(peek())) ++at_;
        }
        if (peek() == '.') {
            ++at_;
            if (!isDigit(peek())) return fail("no digits after the decimal point");
            while (isDigit(peek())) ++at_;
        }
        if (peek() == 'e' || peek() == 'E') {
            ++at_;
            if (peek() == '+' || peek() == '-') ++at_;
            if (!isDigit(peek())) return fail("no digits in the exponent");
            while (isDigit(peek())) ++at_;
        }
        *number = text_.substr(start, at_ - start);
        return true;
    }

    bool readString(std::u16string* out) {
        ++at_;
        size_t run = at_;
        while (true) {
            if (!more()) return fail("a string without its closing quote");
            char c = peek();
            if (c != '"' && c != '\\' && static_cast<unsigned char>(c) >= 0x20) {
                ++at_;
                continue;
            }
            // The bytes since the last escape, decoded as String16 decodes UTF-8.
            appendUtf8AsUtf16(out, text_.data() + run, at_ - run);
            if (c == '"') break;
            if (c != '\\') return fail("a control character inside a string");
            if (!readEscape(out)) return false;
            run = at_;
        }
        ++at_;
        return true;
    }

    bool readEscape(std::u16string* out) {
        ++at_;
        char c = peek();
        constexpr std::string_view kFrom = "\"\\/bfnrt", kTo = "\"\\/\b\f\n\r\t";
        size_t simple = more() ? kFrom.find(c) : std::string_view::npos;
        if (simple != std::string_view::npos) {
            out->push_back(static_cast<char16_t>(kTo[simple]));
            ++at_;
            return true;
        }
        if (c != 'u') return fail("an unknown escape");
        uint32_t unit = 0;
        for (int i = 1; i <= 4; ++i) {
            int digit = at_ + i < text_.size()
                            ? idl::hexDigitValue(static_cast<unsigned char>(text_[at_ + i]))
                            : -1;
            if (digit < 0) return fail("an escape \\u without four hex digits");
            unit = unit << 4 | static_cast<uint32_t>(digit);
        }
        out->push_back(static_cast<char16_t>(unit));
        at_ += 5;
        return true;
    }

    bool readArray(JsonValue* value, uint32_t depth) {
        value->kind = JsonValue::Kind::kArray;
        ++at_;
        skipSpace();
        if (peek() == ']') return step();
        while (true) {
            value->items.emplace_back();
            skipSpace();
            if (!readValue(&value->items.back(), depth)) return false;
            skipSpace();
            if (peek() == ']') return step();
            if (peek() != ',') return fail("expected ',' or ']'");
            ++at_;
        }
    }

    bool readObject(JsonValue* value, uint32_t depth) {
        value->kind = JsonValue::Kind::kObject;
        std::set<std::u16string> seen;
        ++at_;
        skipSpace();
        if (peek() == '}') return step();
        while (true) {
            skipSpace();
            if (peek() != '"') return fail("expected a key in quotes");
            std::u16string key;
            size_t keyAt = at_;
            if (!readString(&key)) return false;
            if (!seen.insert(key).second) {
                at_ = keyAt;
                return fail("a key given twice");
            }
            skipSpace();
            if (peek() != ':') return fail("expected ':' after the key");
            ++at_;
            skipSpace();
            value->keys.push_back(std::move(key));
            value->items.emplace_back();
            if (!readValue(&value->items.back(), depth)) return false;
            skipSpace();
            if (peek() == '}') return step();
            if (peek() != ',') return fail("expected ',' or '}'");
            ++at_;
        }
    }

    std::string_view text_;
    JsonError* error_;
    size_t at_ = 0;
};

}  // namespace

std::optional<JsonValue> parseJson(std::string_view text, JsonError* error) {
    return JsonReader(text, error).run();
}

}  // namespace zorlek::typed
