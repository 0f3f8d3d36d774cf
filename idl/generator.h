// SPDX-License-Identifier: Apache-2.0
// The C++ header zorlek-idl writes for an interface.
#pragma once

#include <string>
#include <string_view>

#include "idl/model.h"

namespace zorlek::idl {

// The header for `description`, read from the file named `source` (named in its first
// line). Each interface goes in a namespace made of its name (sample.IAdder:
// sample::IAdder), one after another, using only the library's public headers:
//
//   kDescriptor, kDescription  the interface's name, and the description as its objects
//                               answer it (printDescription with this interface first)
//   a struct per record         with writeItem and readItem for it (platform/ipc/typed_items.h)
//   class Proxy                 made from any sp<IBinder>; a typed method per method: writes
//                               the token and the arguments, calls, reads the reply fields
//                               into out-pointers
//   class Service               a LocalObject with a pure virtual method per method, and
//                               the onTransact that checks, reads, calls it and writes back
//
// An interface type is a zorlek::sp<zorlek::IBinder> (Parcel::writeStrongBinder and
// readStrongBinder), null or not, which the receiver wraps in that interface's Proxy.
// The names must have passed findNameClash.
std::string generateHeader(const Description& description, std::string_view source);

}  // namespace zorlek::idl
