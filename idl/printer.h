// SPDX-License-Identifier: Apache-2.0
// The canonical text of an interface description.
#pragma once

#include <string>

#include "idl/model.h"

namespace zorlek::idl {

// The description in its canonical form: doc comments and declarations only (plain
// comments left out), the interface first, then the records, then the methods, one
// declaration a line (a record's fields one a line), a blank line between declarations,
// codes in decimal. It is the text a generated service answers to the interface query, and
// parseInterface of it gives the same interface again.
std::u16string printInterface(const Interface& interface);

}  // namespace zorlek::idl
