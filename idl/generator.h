// SPDX-License-Identifier: Apache-2.0
// The C++ header zorlek-idl writes for an interface.
#pragma once

#include <string>
#include <string_view>

#include "idl/model.h"

namespace zorlek::idl {

// The header for `interface`, read from the file named `source` (named in its first
// line). Everything goes in a namespace made of the interface's name (sample.IAdder:
// sample::IAdder), using only the library's public headers:
//
//   kDescriptor, kDescription  the interface's name, and its canonical description
//   a struct per record         with writeItem and readItem for it (platform/ipc/typed_items.h)
//   class Proxy                 a typed method per method: writes the token and the
//                               arguments, calls, reads the reply fields into out-pointers
//   class Service               a LocalObject with a pure virtual method per method, and
//                               the onTransact that checks, reads, calls it and writes back
//
// The names must have passed findNameClash.
std::string generateHeader(const Interface& interface, std::string_view source);

}  // namespace zorlek::idl
