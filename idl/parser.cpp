// SPDX-License-Identifier: Apache-2.0
#include "idl/parser.h"

#include <map>
#include <set>

#include "idl/lexer.h"
#include "idl/words.h"

namespace zorlek::idl {
namespace {

class Parser {
  public:
    Parser(std::u16string_view text, ParseError* error) : lexer_(text), error_(error) { advance(); }

    // Reads the whole text; false after setting the error.
    bool run() {
        Doc doc = readDoc();
        if (!word(u"interface")) return failFound("expected 'interface' and the interface's name");
        if (!readInterface(std::move(doc))) return false;
        while (true) {
            uint32_t docLine = token_.line;
            doc = readDoc();
            if (token_.kind == TokenKind::kEnd) {
                if (!doc.empty()) return fail(docLine, String8("a doc comment before nothing"));
                return resolve();
            }
            bool ok;
            if (word(u"record")) {
                ok = readRecord(std::move(doc));
            } else if (word(u"method") || word(u"oneway")) {
                ok = readMethod(std::move(doc));
            } else if (word(u"interface")) {
                ok = readInterface(std::move(doc));
            } else {
                return failFound("expected 'record', 'method', 'oneway' or 'interface'");
            }
            if (!ok) return false;
        }
    }

    Description take() { return std::move(description_); }

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

    Interface& current() { return description_.interfaces.back(); }

    // Reads "interface NAME;", which starts the next interface's records and methods.
    bool readInterface(Doc doc) {
        uint32_t line = token_.line;
        advance();
        if (token_.kind != TokenKind::kWord || !isDottedName(token_.text)) {
            return failFound("expected the interface's name (identifiers joined by dots)");
        }
        std::string name = ascii(token_.text);
        uint32_t nameLine = token_.line;
        if (description_.find(name) != nullptr) {
            String8 why("interface '");
            why.append(name.c_str()).append("' is declared twice");
            return fail(token_.line, std::move(why));
        }
        if (description_.interfaces.size() == kMaxInterfaces) {
            String8 why("more than ");
            why.append(std::to_string(kMaxInterfaces).c_str())
                .append(" interfaces in one description");
            return fail(line, std::move(why));
        }
        advance();
        if (!expect(u";", "after the interface's name")) return false;
        description_.interfaces.emplace_back();
        current().name = std::move(name);
        current().doc = std::move(doc);
        current().line = nameLine;
        records_.clear();
        interfaceTypes_.clear();
        methods_.clear();
        codes_.clear();
        return true;
    }

    // The checks that wait for the whole text: a type of one word that is no record names
    // an interface of the description, and no record takes such an interface's name.
    bool resolve() {
        for (const auto& [name, line] : oneWordTypes_) {
            if (description_.find(name) == nullptr) return unknownType(line, name);
        }
        for (const Interface& interface : description_.interfaces) {
            for (const Record& record : interface.records) {
                if (description_.find(record.name) == nullptr) continue;
                String8 why("record '");
                why.append(record.name.c_str()).append("' takes the name of an interface");
                return fail(record.line, std::move(why));
            }
        }
        return true;
    }

    bool unknownType(uint32_t line, std::string_view name) {
        Token token{TokenKind::kWord, {}, line};
        std::u16string text(name.begin(), name.end());
        token.text = text;
        String8 why("unknown type ");
        why.append(shown(token).c_str()).append(" (a record is declared before its use)");
        return fail(line, std::move(why));
    }

    // The index of the interface type `name` in the current interface's table.
    uint32_t interfaceType(std::string name) {
        std::vector<std::string>& types = current().interfaceTypes;
        auto [at, added] = interfaceTypes_.emplace(name, static_cast<uint32_t>(types.size()));
        if (added) types.push_back(std::move(name));
        return at->second;
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

    // Reads a type; `inRecord` for a record's field, which cannot be an interface type.
    bool readType(Type* type, bool inRecord) {
        if (token_.kind != TokenKind::kWord) return failFound("expected a type");
        *type = Type{};
        std::string name = ascii(token_.text);
        auto record = records_.find(name);
        if (const Kind* kind = builtInKind(token_.text)) {
            type->kind = *kind;
        } else if (record != records_.end()) {
            type->kind = Kind::kRecord;
            type->index = record->second;
        } else if (!isDottedName(token_.text) || (inRecord && name.find('.') == std::string::npos &&
                                                  description_.find(name) == nullptr)) {
            return unknownType(token_.line, name);
        } else if (inRecord) {
            String8 why("a record's field cannot be an interface type (");
            why.append(shown(token_).c_str()).append(")");
            return fail(token_.line, std::move(why));
        } else {
            // An interface: of this description, or named by its dotted name.
            if (name.find('.') == std::string::npos) oneWordTypes_.emplace_back(name, token_.line);
            type->kind = Kind::kInterface;
            type->index = interfaceType(std::move(name));
        }
        advance();
        if (punct(u"?")) {
            if (type->kind != Kind::kS16)
                return fail(token_.line, String8("only s16 may be null ('?')"));
            type->kind = Kind::kNullableS16;
            advance();
        }
        while (punct(u"[")) {
            if (type->kind == Kind::kInterface) {
                return fail(
                    token_.line,
                    String8("an array cannot hold interface types (references to objects)"));
            }
            advance();
            if (!expect(u"]", "after '['")) return false;
            ++type->arrays;
        }
        return true;
    }

    // Reads "NAME: TYPE" into `field`, checking its name against `names`.
    bool readField(Field* field, std::set<std::string>* names, const char* what,
                   bool inRecord = false) {
        if (!readName(what, &field->name, &field->line)) return false;
        if (!names->insert(field->name).second) {
            String8 why("'");
            why.append(field->name.c_str()).append("' is named twice");
            return fail(field->line, std::move(why));
        }
        if (!expect(u":", "after the name") || !readType(&field->type, inRecord)) return false;
        return depthOf(current(), field->type) <= kMaxDepth || tooDeep(*field);
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
            if (!readField(&field, &names, "a field's name or '}'", true)) return false;
            if (!expect(u";", "after the field")) return false;
            record.depth = std::max(record.depth, depthOf(current(), field.type) + 1);
            if (record.depth > kMaxDepth) return tooDeep(field);
            record.fields.push_back(std::move(field));
        }
        advance();
        if (record.fields.empty()) {
            String8 why("record '");
            why.append(record.name.c_str()).append("' has no fields");
            return fail(record.line, std::move(why));
        }
        records_.emplace(record.name, static_cast<uint32_t>(current().records.size()));
        current().records.push_back(std::move(record));
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
        current().methods.push_back(std::move(method));
        return true;
    }

    Lexer lexer_;
    Token token_;
    ParseError* error_;
    Description description_;
    // The current interface's records, methods and codes.
    std::map<std::string, uint32_t> records_;
    std::set<std::string> methods_;
    std::set<uint32_t> codes_;
    // The current interface's interface types, and where in its table each is.
    std::map<std::string, uint32_t> interfaceTypes_;
    // Each use of an interface type of one word, with its line, in the order of the text.
    std::vector<std::pair<std::string, uint32_t>> oneWordTypes_;
};

}  // namespace

std::optional<Description> parseDescription(std::u16string_view text, ParseError* error) {
    Parser parser(text, error);
    if (!parser.run()) return std::nullopt;
    return parser.take();
}

}  // namespace zorlek::idl
