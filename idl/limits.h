// SPDX-License-Identifier: Apache-2.0
// The limits of the interface description language, each with what it bounds and why that
// number: they hold for zorlek-idl, for the tool reading a description, and for the code
// zorlek-idl writes. The tool's own limits are in commands/limits.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/ipc.h"

namespace zorlek::idl {

// Transaction codes of methods lie in 1..kMaxCode, below the codes the platform reserves
// for its own queries (0x5F......).
constexpr uint32_t kMaxCode = 0xFFFFFF;

// The deepest a type may nest: an array level or a record level each count one, a value
// that holds neither counts one. Readers of values recurse this deep at most, so that a
// value a peer sent cannot exhaust a reader's stack.
constexpr uint32_t kMaxDepth = 32;

// The interfaces one description may hold: a service's own and those of the objects it
// passes and takes are a few. Readers look an interface up by name among them, and each is
// a class of the generated header, so their number stays small whatever the file's size.
constexpr size_t kMaxInterfaces = 64;

// The largest description file read: as large as a parcel, whose one string a description
// must fit in anyway.
constexpr size_t kMaxSourceBytes = kMaxParcelSize;

}  // namespace zorlek::idl
