// SPDX-License-Identifier: Apache-2.0
// Calls back from a host to its clients' objects.
#pragma once

namespace zorlek::bench {

// A one-way call back from a host to a client's object, against a one-way proxy call from
// the client to the host, both in batches of 100 closed by a round trip; and the ticks per
// second the sample ticker delivers to 100 listeners at a period of 1 ms, against the
// 100,000 a second they ask for.
void callbackRows();

}  // namespace zorlek::bench
