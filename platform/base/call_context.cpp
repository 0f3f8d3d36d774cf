// SPDX-License-Identifier: Apache-2.0
#include "platform/base/call_context.h"

namespace zorlek {
namespace {

thread_local CallContext* tCurrentCall = nullptr;
thread_local int tCallDepth = 0;

}  // namespace

CurrentCall::CurrentCall(CallContext* context) : previous_(tCurrentCall) {
    tCurrentCall = context;
    ++tCallDepth;
}

CurrentCall::~CurrentCall() {
    tCurrentCall = previous_;
    --tCallDepth;
}

CallContext* currentCall() {
    return tCurrentCall;
}

int callDepth() {
    return tCallDepth;
}

void withholdReply() {
    if (tCurrentCall != nullptr) tCurrentCall->replyWithheld = true;
}

}  // namespace zorlek
