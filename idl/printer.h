// SPDX-License-Identifier: Apache-2.0
// The canonical text of an interface description.
#pragma once

#include <string>

#include "idl/model.h"

namespace zorlek::idl {

// One interface in its canonical form: doc comments and declarations only (plain
// comments left out), the interface first, then the records, then the methods, one
// declaration a line (a record's fields one a line), a blank line between declarations,
// codes in decimal.
std::u16string printInterface(const Interface& interface);

// The description in its canonical form: its interfaces as printInterface prints them, a
// blank line between, the one at `first` first and the others in their order. It is the
// text the object of interfaces[first] answers to the interface query, and
// parseDescription of it gives the same interfaces again (in that order).
std::u16string printDescription(const Description& description, size_t first = 0);

}  // namespace zorlek::idl
