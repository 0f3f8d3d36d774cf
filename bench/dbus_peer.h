// SPDX-License-Identifier: Apache-2.0
// The peer for the comparison rows: a private D-Bus daemon holding N names, started and
// stopped by the benchmark through the shared fixture script, measured with busctl.
#pragma once

#include <string>

namespace zorlek::bench {

class DbusPeer {
  public:
    // Empty when everything the peer needs is installed (busctl, dbus-daemon, Debian's
    // python3-dbus and python3-gi under /usr/bin/python3, the fixture script); else what
    // is missing, for the note that the busctl rows are skipped.
    static std::string missing();

    // Starts a daemon whose names com.example.svc0 .. svc{N-1} are held by one owner.
    // False (with nothing left running) when it did not come up.
    bool start(int names);
    // Stops what start() started; also done by the destructor.
    void stop();
    ~DbusPeer();

    // The bus address, for busctl --address.
    const std::string& address() const { return address_; }

  private:
    std::string address_;
    std::string dir_;
};

// The fixture script: $ZORLEK_DBUS_FIXTURE when set, else shared/peers/dbus_fixture.py
// beside the checkout.
std::string dbusFixturePath();

}  // namespace zorlek::bench
