// SPDX-License-Identifier: Apache-2.0
#include "idl/parser.h"

#include <map>
#include <set>

#include "idl/hex_digit.h"
#include "idl/lexer.h"
#include "platform/text/hex.h"

namespace zorlek::idl {
namespace {

bool isLetter(char16_t unit) {
    return (unit >= u'a' && unit <= u'z') || (unit >= u'A' && unit <= u'Z');
}

bool isDigit(char16_t unit) {
    return unit >= u'0' && unit <= u'9';
}

// Letters and digits with single underscores between them, starting with a letter.
bool isIdentifier(std::u16string_view word) {
    if (word.empty() || !isLetter(word[0]) || word.back() == u'_') return false;
    for (size_t i = 1; i < word.size(); ++i) {
        char16_t unit = word[i];
        if (unit == u'_' ? word[i - 1] == u'_' : !isLetter(unit) && !isDigit(unit)) return false;
    }
    return true;
}

// Identifiers joined by single dots.
bool isDottedName(std::u16string_view word) {
    size_t start = 0;
    while (true) {
        size_t dot = word.find(u'.', start);
        if (!isIdentifier(word.substr(start, dot == std::u16string_view::npos ? dot : dot - start)))
            return false;
        if (dot == std::u16string_view::npos) return true;
        start = dot + 1;
    }
}

// A word the lexer made is ASCII.
std::string ascii(std::u16string_view word) {
    return std::string(word.begin(), word.end());
}

// Appends `value` as 4 uppercase hex digits.
void appendHex(String8* out, uint32_t value) {
    for (int shift = 12; shift >= 0; shift -= 4) out->push(upperHexDigit(value >> shift));
}

// The token as an error message names it.
String8 shown(const Token& token) {
    String8 out;
    switch (token.kind) {
        case TokenKind::kEnd:
            return String8("the end of the text");
        case TokenKind::kDoc:
            return String8("a doc comment");
        case TokenKind::kBad:
            if (token.text[0] > 0x20 && token.text[0] < 0x7F) break;
            out.append("the character U+");
            appendHex(&out, token.text[0]);
            return out;
        case TokenKind::kWord:
        case TokenKind::kPunct:
            break;
    }
    constexpr size_t kShown = 40;
    std::string text = ascii(token.text.substr(0, kShown));
    out.append("'").append(text.c_str()).append(token.text.size() > kShown ? "...'" : "'");
    return out;
}

constexpr std::pair<std::u16string_view, Kind> kBuiltIn[] = {
    {u"i32", Kind::kI32}, {u"i64", Kind::kI64},     {u"bool", Kind::kBool},
    {u"s16", Kind::kS16}, {u"bytes", Kind::kBytes},
};

// The kind of a type the language has built in, or null.
const Kind* builtInKind(std::u16string_view word) {
    for (const auto& [name, kind] : kBuiltIn) {
        if (word == name) return &kind;
    }
    return nullptr;
}

// Reads a decimal or 0x-hexadecimal code in 1..kMaxCode.
bool readCode(std::u16string_view word, uint32_t* code) {
    bool hex = word.size() > 2 && word[0] == u'0' && (word[1] == u'x' || word[1] == u'X');
    uint64_t value = 0;
    for (size_t i = hex ? 2 : 0; i < word.size(); ++i) {
        char16_t unit = word[i];
        int digit = hexDigitValue(unit);
        if (digit < 0 || digit >= (hex ? 16 : 10)) return false;
        value = value * (hex ? 16 : 10) + static_cast<uint64_t>(digit);
        if (value > kMaxCode) return false;
    }
    *code = static_cast<uint32_t>(value);
    return value >= 1;
}

class Parser {
  public:
    Parser(std::u16string_view text, ParseError* error) : lexer_(text), error_(error) { advance(); }

    // Reads the whole text; false after setting the error.
    bool run() {
        interface_.doc = readDoc();
        if (!word(u"interface")) return failFound("expected 'interface' and the interface's name");
        advance();
        if (token_.kind != TokenKind::kWord || !isDottedName(token_.text)) {
            return failFound("expected the interface's name (identifiers joined by dots)");
        }
        interface_.name = ascii(token_.text);
        advance();
        if (!expect(u";", "after the interface's name")) return false;
        while (true) {
            uint32_t docLine = token_.line;
            Doc doc = readDoc();
            if (token_.kind == TokenKind::kEnd) {
                return doc.empty() || fail(docLine, String8("a doc comment before nothing"));
            }
            bool ok;
            if (word(u"record")) {
                ok = readRecord(std::move(doc));
            } else if (word(u"method") || word(u"oneway")) {
                ok = readMethod(std::move(doc));
            } else {
                return failFound("expected 'record', 'method' or 'oneway'");
            }
            if (!ok) return false;
        }
    }

    Interface take() { return std::move(interface_); }

  private:
    void advance() { token_ = lexer_.next(); }
    bool word(std::u16string_view text) const {
        return token_.kind == TokenKind::kWord && token_.text == text;
    }
    bool punct(std::u16string_view text) const {
        return token_.kind == TokenKind::kPunct && token_.text == text;
    }

    bool fail(uint32_t line, String8 why) {
        error_->line = line;
        error_->why = std::move(why);
        return false;
    }
    // "WHAT, found TOKEN" at the current token.
    bool failFound(const char* what) {
        String8 why(what);
        why.append(", found ").append(shown(token_).c_str());
        return fail(token_.line, std::move(why));
    }
    // Steps past the punctuation `text`, or fails with "expected 'TEXT' WHERE".
    bool expect(std::u16string_view text, const char* where) {
        if (punct(text)) {
            advance();
            return true;
        }
        String8 what("expected '");
        what.append(ascii(text).c_str()).append("' ").append(where);
        return failFound(what.c_str());
    }

    Doc readDoc() {
        Doc doc;
        while (token_.kind == TokenKind::kDoc) {
            doc.emplace_back(token_.text);
            advance();
        }
        return doc;
    }

    // Reads an identifier naming `what` into `*name`.
    bool readName(const char* what, std::string* name, uint32_t* line) {
        if (token_.kind != TokenKind::kWord || !isIdentifier(token_.text)) {
            String8 expected("expected ");
            expected.append(what).append(" (letters and digits, single underscores between)");
            return failFound(expected.c_str());
        }
        *name = ascii(token_.text);
        *line = token_.line;
        advance();
        return true;
    }

    bool readType(Type* type) {
        if (token_.kind != TokenKind::kWord) return failFound("expected a type");
        *type = Type{};
        if (const Kind* kind = builtInKind(token_.text)) {
            type->kind = *kind;
        } else {
            auto record = records_.find(ascii(token_.text));
            if (record == records_.end()) {
                String8 why("unknown type ");
                why.append(shown(token_).c_str()).append(" (a record is declared before its use)");
                return fail(token_.line, std::move(why));
            }
            type->kind = Kind::kRecord;
            type->record = record->second;
        }
        advance();
        if (punct(u"?")) {
            if (type->kind != Kind::kS16)
                return fail(token_.line, String8("only s16 may be null ('?')"));
            type->kind = Kind::kNullableS16;
            advance();
        }
        while (punct(u"[")) {
            advance();
            if (!expect(u"]", "after '['")) return false;
            ++type->arrays;
        }
        return true;
    }

    // Reads "NAME: TYPE" into `field`, checking its name against `names`.
    bool readField(Field* field, std::set<std::string>* names, const char* what) {
        if (!readName(what, &field->name, &field->line)) return false;
        if (!names->insert(field->name).second) {
            String8 why("'");
            why.append(field->name.c_str()).append("' is named twice");
            return fail(field->line, std::move(why));
        }
        if (!expect(u":", "after the name") || !readType(&field->type)) return false;
        return depthOf(interface_, field->type) <= kMaxDepth || tooDeep(*field);
    }

    bool tooDeep(const Field& field) {
        String8 why("'");
        why.append(field.name.c_str()).append("' nests deeper than 32 levels");
        return fail(field.line, std::move(why));
    }

    // Reads "(NAME: TYPE, ...)" into `fields`.
    bool readFieldList(std::vector<Field>* fields, const char* what) {
        if (!expect(u"(", what)) return false;
        std::set<std::string> names;
        while (!punct(u")")) {
            if (!fields->empty() && !expect(u",", "between two fields")) return false;
            fields->emplace_back();
            if (!readField(&fields->back(), &names, "a field's name")) return false;
        }
        advance();
        return true;
    }

    bool readRecord(Doc doc) {
        advance();
        Record record;
        record.doc = std::move(doc);
        if (token_.kind == TokenKind::kWord && builtInKind(token_.text) != nullptr) {
            return failFound("expected the record's name, not a built-in type");
        }
        if (!readName("the record's name", &record.name, &record.line)) return false;
        if (records_.count(record.name) != 0) {
            String8 why("record '");
            why.append(record.name.c_str()).append("' is declared twice");
            return fail(record.line, std::move(why));
        }
        if (!expect(u"{", "after the record's name")) return false;
        std::set<std::string> names;
        while (true) {
            uint32_t docLine = token_.line;
            Doc fieldDoc = readDoc();
            if (punct(u"}")) {
                if (!fieldDoc.empty())
                    return fail(docLine, String8("a doc comment before nothing"));
                break;
            }
            Field field;
            field.doc = std::move(fieldDoc);
            if (!readField(&field, &names, "a field's name or '}'")) return false;
            if (!expect(u";", "after the field")) return false;
            record.depth = std::max(record.depth, depthOf(interface_, field.type) + 1);
            if (record.depth > kMaxDepth) return tooDeep(field);
            record.fields.push_back(std::move(field));
        }
        advance();
        if (record.fields.empty()) {
            String8 why("record '");
            why.append(record.name.c_str()).append("' has no fields");
            return fail(record.line, std::move(why));
        }
        records_.emplace(record.name, static_cast<uint32_t>(interface_.records.size()));
        interface_.records.push_back(std::move(record));
        return true;
    }

    bool readMethod(Doc doc) {
        Method method;
        method.doc = std::move(doc);
        method.oneway = word(u"oneway");
        if (method.oneway) {
            advance();
            if (!word(u"method")) return failFound("expected 'method' after 'oneway'");
        }
        advance();
        if (!readName("the method's name", &method.name, &method.line)) return false;
        if (!methods_.insert(method.name).second) {
            String8 why("method '");
            why.append(method.name.c_str()).append("' is declared twice");
            return fail(method.line, std::move(why));
        }
        if (!readFieldList(&method.arguments, "after the method's name")) return false;
        if (punct(u"->")) {
            if (method.oneway) return fail(token_.line, String8("a one-way method has no reply"));
            advance();
            if (!readFieldList(&method.reply, "after '->'")) return false;
        }
        if (!expect(u"=", "and the method's code")) return false;
        if (token_.kind != TokenKind::kWord || !readCode(token_.text, &method.code)) {
            return failFound("expected a code from 1 to 16777215 (0xFFFFFF)");
        }
        if (!codes_.insert(method.code).second) {
            String8 why("code ");
            why.append(ascii(token_.text).c_str()).append(" is taken by another method");
            return fail(token_.line, std::move(why));
        }
        advance();
        if (!expect(u";", "after the method")) return false;
        interface_.methods.push_back(std::move(method));
        return true;
    }

    Lexer lexer_;
    Token token_;
    ParseError* error_;
    Interface interface_;
    std::map<std::string, uint32_t> records_;
    std::set<std::string> methods_;
    std::set<uint32_t> codes_;
};

}  // namespace

std::optional<Interface> parseInterface(std::u16string_view text, ParseError* error) {
    Parser parser(text, error);
    if (!parser.run()) return std::nullopt;
    return parser.take();
}

}  // namespace zorlek::idl
