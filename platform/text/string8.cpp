// SPDX-License-Identifier: Apache-2.0
#include "platform/text/string8.h"

#include <cstring>

namespace zorlek {

String8& String8::append(const char* text) {
    if (text != nullptr) bytes_.append(text, std::strlen(text));
    return *this;
}

String8& String8::append(const char* bytes, size_t len) {
    bytes_.append(bytes, len);
    return *this;
}

String8& String8::push(char byte) {
    bytes_.push_back(byte);
    return *this;
}

}  // namespace zorlek
