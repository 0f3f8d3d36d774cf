// SPDX-License-Identifier: Apache-2.0
#include "tests/docs/limits_reading.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <set>

namespace zorlek::docs {
namespace {

bool isWordChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

std::string grouped(uint64_t value) {
    std::string digits = std::to_string(value), out;
    for (size_t at = 0; at < digits.size(); ++at) {
        if (at > 0 && (digits.size() - at) % 3 == 0) out.push_back(',');
        out.push_back(digits[at]);
    }
    return out;
}

// The amounts a text states, each as "65,536", "64 KiB" or "10 s": a number written as the
// document writes them (commas between groups of three digits) and the unit after it, if
// it has one. Parts of other things are no amounts: "UTF-16", "0.5", "1/16", "0x5F".
std::set<std::string> amounts(std::string_view text) {
    static const std::set<std::string_view> kUnits = {"KiB", "MiB", "GiB", "KB",   "MB",
                                                      "GB",  "ms",  "us",  "s",    "byte", "bytes"};
    auto digit = [&](size_t i) { return i < text.size() && std::isdigit((unsigned char)text[i]); };
    auto at = [&](size_t i) { return i < text.size() ? text[i] : '\0'; };
    std::set<std::string> found;
    for (size_t begin = 0; begin < text.size(); ++begin) {
        if (!digit(begin) ||
            (begin > 0 && (isWordChar(text[begin - 1]) || std::strchr(".,/-", text[begin - 1])))) {
            continue;
        }
        size_t end = begin;
        while (digit(end) || (at(end) == ',' && digit(end + 1) && digit(end + 2) &&
                              digit(end + 3) && !digit(end + 4))) {
            end += digit(end) ? 1 : 4;
        }
        std::string_view number = text.substr(begin, end - begin);
        begin = end;
        if (isWordChar(at(end)) || at(end) == '/' ||
            ((at(end) == '.' || at(end) == ',') && digit(end + 1))) {
            continue;
        }
        size_t word = end + 1;
        while (at(end) == ' ' && std::isalpha((unsigned char)at(word))) ++word;
        std::string_view unit = at(end) == ' ' ? text.substr(end + 1, word - end - 1) : "";
        if (unit == "byte") unit = "bytes";
        found.insert(std::string(number) +
                     (kUnits.count(unit) ? " " + std::string(unit) : std::string()));
    }
    return found;
}

// Whether `text` holds `words`, not as part of a longer word or number.
bool holdsWords(std::string_view text, std::string_view words) {
    for (size_t at = text.find(words); at != std::string_view::npos;
         at = text.find(words, at + 1)) {
        size_t end = at + words.size();
        if ((at == 0 || !isWordChar(text[at - 1])) &&
            (end == text.size() || !isWordChar(text[end]))) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::string readSource(const std::string& relative) {
    std::string text;
    if (FILE* file = std::fopen((std::string(ZORLEK_SOURCE_DIR) + "/" + relative).c_str(), "re")) {
        char chunk[4096];
        size_t got;
        while (text.size() < (4u << 20) && (got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
            text.append(chunk, got);
        }
        std::fclose(file);
    }
    return text;
}

std::vector<std::string> declaredNames(std::string_view header) {
    std::string code;
    for (size_t at = 0; at < header.size();) {
        size_t end = std::min(header.find('\n', at), header.size());
        code.append(header.substr(at, end - at).substr(0, header.substr(at, end - at).find("//")));
        code.push_back('\n');
        at = end + 1;
    }
    std::vector<std::string> names;
    for (size_t at = code.find("constexpr"); at != std::string::npos;
         at = code.find("constexpr", at + 1)) {
        size_t stop = code.find_first_of("=;({", at);
        if (stop == std::string::npos || (code[stop] != '=' && code[stop] != '{')) continue;
        size_t end = stop;
        while (end > at && !isWordChar(code[end - 1])) --end;
        size_t begin = end;
        while (begin > at && isWordChar(code[begin - 1])) --begin;
        names.push_back(code.substr(begin, end - begin));
    }
    return names;
}

std::vector<std::string> forms(const Limit& limit) {
    uint64_t v = limit.value;
    std::vector<std::string> out;
    switch (limit.unit) {
        case Unit::Count:
            out = {grouped(v)};
            break;
        case Unit::Bytes:
            out = {grouped(v) + " bytes"};
            if (v % 1024 == 0) out.push_back(grouped(v / 1024) + " KiB");
            if (v % (1024 * 1024) == 0) out.push_back(grouped(v / (1024 * 1024)) + " MiB");
            break;
        case Unit::Ms:
            out = {grouped(v) + " ms"};
            if (v % 1000 == 0) out.push_back(grouped(v / 1000) + " s");
            break;
        case Unit::Us:
            out = {grouped(v) + " us"};
            break;
        case Unit::Share:
            out = {"1/" + std::to_string(v)};
            break;
        case Unit::Hex: {
            char hex[24];
            std::snprintf(hex, sizeof hex, "0x%llX", static_cast<unsigned long long>(v));
            out = {hex};
            break;
        }
        case Unit::Text:
            out = {std::string(limit.text)};
            break;
    }
    return out;
}

bool states(std::string_view text, const Limit& limit) {
    bool amount = limit.unit == Unit::Count || limit.unit == Unit::Bytes || limit.unit == Unit::Ms ||
                  limit.unit == Unit::Us;
    std::set<std::string> stated = amount ? amounts(text) : std::set<std::string>{};
    for (const std::string& form : forms(limit)) {
        if (amount ? stated.count(form) > 0 : holdsWords(text, form)) return true;
    }
    return false;
}

std::vector<Row> limitRows(std::string_view doc) {
    size_t at = doc.find("\n## Limits\n");
    size_t stop = at == std::string_view::npos ? at : doc.find("\n## ", at + 1);
    std::vector<Row> rows;
    int seen = 0;
    while (at < std::min(stop, doc.size())) {
        size_t end = std::min(doc.find('\n', at + 1), doc.size());
        std::string_view line = doc.substr(at + 1, end - at - 1);
        at = end;
        if (line.size() < 4 || line[0] != '|' || ++seen <= 2) continue;
        size_t last = line.rfind('|', line.size() - 2);
        std::string_view first = line.substr(2, line.find(" |", 1) - 2);
        Row row{std::string(first), std::string(line.substr(0, last)), {}};
        std::string_view cell = line.substr(last);
        for (size_t tick = cell.find('`'); tick != std::string_view::npos;
             tick = cell.find('`', tick + 1)) {
            size_t close = cell.find('`', tick + 1);
            if (close == std::string_view::npos) break;
            row.names.emplace_back(cell.substr(tick + 1, close - tick - 1));
            tick = close;
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

}  // namespace zorlek::docs
