// SPDX-License-Identifier: Apache-2.0
// The rows that weigh the channels between clients and hosts: `list` over many hosts,
// system calls per name, silent services, and the descriptors a client holds.
#pragma once

namespace zorlek::bench {

class DbusPeer;

// `list` of 1,000 names on 100 hosts against `busctl list` of 1,000 names (`peer`
// running, or null to skip that row), and the system calls per name of `list` on one
// host and on 100.
void manyHostRows(DbusPeer* peer);

// `list` of 1,000 names, every one silent, at a 1 s call timeout, against that timeout.
void silentServicesRow();

// The descriptors of a client holding 100,000 proxies to the objects of 10 hosts.
void descriptorRow();

}  // namespace zorlek::bench
