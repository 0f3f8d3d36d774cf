// SPDX-License-Identifier: Apache-2.0
// Whether the names of an interface can be written in C++ as zorlek-idl writes them.
#pragma once

#include <cstdint>
#include <optional>

#include "idl/model.h"
#include "platform/text.h"

namespace zorlek::idl {

// A name C++ cannot take where the generated code puts it.
struct NameClash {
    uint32_t line = 0;
    String8 why;
};

// Checks every name of each interface of `description` for the generated header: none is
// a C++ keyword or a name the header itself uses (std, zorlek, the integer types; Proxy,
// Service, kDescriptor, kDescription, readItem, writeItem beside the records; Proxy, Service
// and the members of LocalObject beside the methods); no method, argument or field takes a
// record's name; no method has an argument and a reply field of the same name; no
// interface's namespace, inside another's (a.b inside a), takes a name the other's holds.
// nullopt when all can be written.
std::optional<NameClash> findNameClash(const Description& description);

}  // namespace zorlek::idl
