#include "registry/display_name.h"

#include <cstdint>

namespace zorlek::registry {
namespace {

void appendUtf8(String8* out, uint32_t cp) {
    if (cp < 0x80) {
        out->push(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out->push(static_cast<char>(0xC0 | (cp >> 6)));
        out->push(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out->push(static_cast<char>(0xE0 | (cp >> 12)));
        out->push(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out->push(static_cast<char>(0xF0 | (cp >> 18)));
        out->push(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out->push(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

}  // namespace

String8 displayName(const String16& name) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    String8 out;
    for (size_t i = 0; i < name.size(); ++i) {
        uint32_t unit = name[i];
        if (unit < 0x20 || (unit >= 0x7F && unit <= 0x9F)) {
            char escaped[4] = {'\\', 'x', kHex[unit >> 4], kHex[unit & 0xF]};
            out.append(escaped, 4);
        } else if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < name.size() &&
                   name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF) {
            appendUtf8(&out, 0x10000 + ((unit - 0xD800) << 10) + (name[i + 1] - 0xDC00));
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            appendUtf8(&out, 0xFFFD);
        } else {
            appendUtf8(&out, unit);
        }
    }
    return out;
}

}  // namespace zorlek::registry
