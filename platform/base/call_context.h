// SPDX-License-Identifier: Apache-2.0
// What the serving loop knows of the transaction being handled on this thread: who sent
// it, and whether its reply is to be withheld. Internal to the hosting library and to
// in-tree services that stand in for hung ones; services built elsewhere read the caller
// through LocalObject::callingUid() and callingPid(). The serving of every end of a channel
// (a host's and a client's) sets it.
#pragma once

#include <sys/socket.h>

namespace zorlek {

struct CallContext {
    // Who sent the call: the process the kernel named with its message.
    ucred caller = {0, static_cast<uid_t>(-1), static_cast<gid_t>(-1)};
    bool replyWithheld = false;
};

// Makes `context` the current one on this thread for its lifetime, restoring the one
// before (calls nest when a service calls a local object).
class CurrentCall {
  public:
    explicit CurrentCall(CallContext* context);
    ~CurrentCall();
    CurrentCall(const CurrentCall&) = delete;
    CurrentCall& operator=(const CurrentCall&) = delete;

  private:
    CallContext* previous_;
};

// The transaction being handled on this thread; null outside one.
CallContext* currentCall();
// How many calls this thread is handling, one inside another (a call back served while
// the thread waits for its own call's reply); 0 outside any.
int callDepth();

// Called from onTransact: send no reply at all to the transaction being handled
// (whatever status is returned), so that the caller waits until its timeout. For services
// that stand in for a hung one in tests and demonstrations.
void withholdReply();

}  // namespace zorlek
