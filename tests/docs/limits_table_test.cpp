// SPDX-License-Identifier: Apache-2.0
// docs/reliability.md's table of limits against the limits headers: every constant a
// header declares is listed below, with its value taken from the code; a row of the
// document names it, and that row states the value in the document's words. A limit added
// to a header, or a number changed in either place, fails here until both agree.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "commands/limits.h"
#include "idl/limits.h"
#include "platform/base/limits.h"
#include "platform/text/limits.h"
#include "registry/limits.h"
#include "services/sample/limits.h"
#include "tests/docs/limits_reading.h"

namespace zorlek {
namespace {

using docs::Limit;
using docs::Row;
using docs::Unit;

constexpr Limit makeLimit(std::string_view name, uint64_t value, Unit unit,
                          std::string_view text = {}) {
    return {name, value, unit, text};
}

// One line per constant, its value taken from the code: LIMIT(registry::kName, Count), with
// Count, Bytes, Ms, Us, Share or Hex for how the document writes it (see docs::Unit).
#define LIMIT(constant, unit) makeLimit(#constant, static_cast<uint64_t>(constant), Unit::unit)
// A constant that is no amount (a flag, a version), with the words the document's row
// holds; build them from the constant where it can be: LIMIT_WRITTEN(kFlag, kFlag ? "on" :
// "off").
#define LIMIT_WRITTEN(constant, words) \
    makeLimit(((void)(constant), #constant), 0, Unit::Text, words)

constexpr Limit kLimits[] = {
    LIMIT(kMaxParcelSize, Bytes),
    LIMIT(kMaxRegistryRequest, Bytes),
    LIMIT(kMaxNameUnits, Count),
    LIMIT(kListPageBytes, Bytes),
    LIMIT(kMaxFdsSeen, Count),
    LIMIT(kMaxFdBatches, Count),
    LIMIT(kMaxCredentialBatches, Count),
    LIMIT(kFirstPayloadRoom, Bytes),
    LIMIT(kKeptSendRoom, Bytes),
    LIMIT(kDefaultCallTimeoutMs, Ms),
    LIMIT(kFirstReconnectPauseMs, Ms),
    LIMIT(kMaxReconnectPauseMs, Ms),
    LIMIT(kMaxListedNames, Count),
    LIMIT(kMaxListedBytes, Bytes),
    LIMIT(kLookupBatch, Count),
    LIMIT(kHeldReplyBytes, Bytes),
    LIMIT(kClientReadBuffer, Bytes),
    LIMIT(kMaxChannels, Count),
    LIMIT(kMaxChannelsPerUser, Count),
    LIMIT(kHostReservedDescriptors, Count),
    LIMIT(kHostUserBudgetBytes, Bytes),
    LIMIT(kHostOthersBudgetBytes, Bytes),
    LIMIT(kChannelPauseBytes, Bytes),
    LIMIT(kChannelReadBuffer, Bytes),
    LIMIT(kFirstRetryPauseMs, Ms),
    LIMIT(kMaxRetryPauseMs, Ms),
    LIMIT(kHostTrimAfterClosed, Count),
    LIMIT(kTrimAfterBytes, Bytes),
    LIMIT(kTrimDelayMs, Ms),
    LIMIT(kEventBatch, Count),
    LIMIT(registry::kMaxConnectionsPerUser, Count),
    LIMIT(registry::kHandshakeTimeoutMs, Ms),
    LIMIT(registry::kMaxNamesPerUser, Count),
    LIMIT(registry::kMaxNamesOfOthers, Count),
    LIMIT(registry::kMaxUnreadLookups, Count),
    LIMIT(registry::kMaxPendingChannelsPerUser, Count),
    LIMIT(registry::kMaxPendingChannels, Count),
    LIMIT(registry::kMaxUnreadFdsPerUser, Count),
    LIMIT(registry::kMaxWaitingNamesPerUser, Count),
    LIMIT(registry::kUserBudgetBytes, Bytes),
    LIMIT(registry::kTrustedBudgetBytes, Bytes),
    LIMIT(registry::kOthersBudgetBytes, Bytes),
    LIMIT(registry::kConnectionReadBuffer, Bytes),
    LIMIT(registry::kConnectionPauseBytes, Bytes),
    LIMIT(registry::kAcceptBatch, Count),
    LIMIT(registry::kAcceptPauseMs, Ms),
    LIMIT(registry::kOwnDescriptors, Count),
    LIMIT(registry::kMinDescriptorReserve, Count),
    LIMIT(registry::kTrimAfterClosed, Count),
    LIMIT(registry::kLogLinesPerSecond, Count),
    LIMIT(registry::kMaxPolicyFileBytes, Bytes),
    LIMIT(registry::kMaxPolicyFiles, Count),
    LIMIT(registry::kMaxPolicyRules, Count),
    LIMIT(kListWindow, Count),
    LIMIT(kMaxCommandLineBytes, Bytes),
    LIMIT(kMaxAccountFileBytes, Bytes),
    LIMIT(kMaxJsonDepth, Count),
    LIMIT(kInvokeJsonPerInputByte, Bytes),
    LIMIT(kMaxHeldEvents, Count),
    LIMIT(idl::kMaxCode, Hex),
    LIMIT(idl::kMaxDepth, Count),
    LIMIT(idl::kMaxSourceBytes, Bytes),
    LIMIT(idl::kMaxInterfaces, Count),
    LIMIT(kUnknownAnswerRoom, Bytes),
    LIMIT(kMaxCloserThreads, Count),
    LIMIT(kCloserStackBytes, Bytes),
    LIMIT(kCloseQueueBlock, Count),
    LIMIT(kEmptyingScratchBytes, Bytes),
    LIMIT(kEmptyingScatter, Count),
    LIMIT(kSettledCallsKept, Count),
    LIMIT(kPipelineBlockSlots, Count),
    LIMIT(kKeptReplyRoom, Bytes),
    LIMIT(kHostKeptChannelsShare, Share),
    LIMIT(kHostKeptChannelsMin, Count),
    LIMIT(registry::kNamedGrantees, Count),
    LIMIT(registry::kUserEntryBytes, Bytes),
    LIMIT(registry::kFirstGroupEntryBytes, Bytes),
    LIMIT(registry::kMaxGroupEntryBytes, Bytes),
    LIMIT(registry::kFallbackDescriptorLimit, Count),
    LIMIT(kMaxCgroupFileBytes, Bytes),
    LIMIT(kAccountEntryBytes, Bytes),
    LIMIT(kMaxStatusFileBytes, Bytes),
    LIMIT(kStartSlackMs, Ms),
    LIMIT(kMaxNamesBytes, Bytes),
    LIMIT(kMaxMonitoredServices, Count),
    LIMIT(kDefaultSnapLength, Bytes),
    LIMIT(kTapReadBuffer, Bytes),
    LIMIT(kMaxCallRecordPayload, Bytes),
    LIMIT(kTextOutputBufferBytes, Bytes),
    LIMIT(kPollCapUs, Us),
    LIMIT(kPollFloorUs, Us),
    LIMIT(kPollLearningWaits, Count),
    LIMIT(kPollLongestSampleUs, Us),
    LIMIT(kPollStartCredit, Count),
    LIMIT(kPollMostCredit, Count),
    LIMIT(kPollFirstPauseMs, Ms),
    LIMIT(kPollLongestPauseMs, Ms),
    LIMIT(kPollLostCpuUs, Us),
    LIMIT(kMaxObjectsPerParcel, Count),
    LIMIT(kMaxObjectsPerChannel, Count),
    LIMIT(kFirstPassedHandle, Hex),
    LIMIT(kMaxCallDepth, Count),
    LIMIT(kCallbackQueueBytes, Bytes),
    LIMIT(kMaxSnapLength, Bytes),
    LIMIT(kMaxTaps, Count),
    LIMIT(kTapQueueBytes, Bytes),
    LIMIT(kTapBatchMs, Ms),
    LIMIT(kTapSendBytes, Bytes),
    LIMIT(registry::kMaxTapsPerHost, Count),
    LIMIT(registry::kMaxTapsPerUser, Count),
    LIMIT(kMaxTickerSubscribers, Count),
    LIMIT(kMinTickPeriodMs, Ms),
    LIMIT(kMaxTickPeriodMs, Ms),
};

constexpr const char* kHeaders[] = {"platform/base/limits.h", "registry/limits.h",
                                    "commands/limits.h",      "idl/limits.h",
                                    "platform/text/limits.h", "services/sample/limits.h"};

std::string_view bareName(std::string_view name) {
    size_t colons = name.rfind("::");
    return colons == std::string_view::npos ? name : name.substr(colons + 2);
}

const Limit* find(std::string_view name) {
    for (const Limit& limit : kLimits) {
        if (bareName(limit.name) == name) return &limit;
    }
    return nullptr;
}

TEST(LimitsTable, ListsEveryConstantTheHeadersDeclare) {
    std::set<std::string> declared;
    for (const char* header : kHeaders) {
        std::string text = docs::readSource(header);
        ASSERT_FALSE(text.empty()) << "cannot read " << header;
        for (const std::string& name : docs::declaredNames(text)) {
            EXPECT_TRUE(declared.insert(name).second) << name << " is declared twice";
            EXPECT_NE(find(name), nullptr)
                << header << " declares " << name << ", which kLimits in " << __FILE__
                << " does not list: add it there and to docs/reliability.md's limits table";
        }
    }
    for (const Limit& limit : kLimits) {
        EXPECT_EQ(declared.count(std::string(bareName(limit.name))), 1u)
            << limit.name << " is listed, but no limits header declares it";
    }
}

TEST(LimitsTable, TheDocumentNamesEachConstantInARowThatStatesItsValue) {
    std::vector<Row> rows = docs::limitRows(docs::readSource("docs/reliability.md"));
    ASSERT_FALSE(rows.empty()) << "docs/reliability.md has no \"## Limits\" table";
    for (const Row& row : rows) {
        for (const std::string& name : row.names) {
            EXPECT_NE(find(name), nullptr)
                << "the row \"" << row.limit << "\" names " << name << ", which no header declares";
        }
    }
    for (const Limit& limit : kLimits) {
        std::string name(bareName(limit.name));
        int naming = 0;
        for (const Row& row : rows) {
            if (std::count(row.names.begin(), row.names.end(), name) == 0) continue;
            ++naming;
            EXPECT_TRUE(docs::states(row.text, limit))
                << "the row \"" << row.limit << "\" names " << name << " but does not say "
                << docs::forms(limit).back() << ", its value";
        }
        EXPECT_GT(naming, 0) << "no row of docs/reliability.md's limits table names " << name;
    }
}

// The reading of values itself: what states a value and what only looks like one.
TEST(LimitsTable, ReadsValuesAsTheDocumentWritesThem) {
    struct Case {
        std::string_view text;
        Limit limit;
        bool states;
    } cases[] = {
        {"65,536 rules", {"k", 65536, Unit::Count, {}}, true},
        {"65536 rules", {"k", 65536, Unit::Count, {}}, false},
        {"1,024 per user", {"k", 1024, Unit::Count, {}}, true},
        {"11,024 per user", {"k", 1024, Unit::Count, {}}, false},
        {"64 KiB kept", {"k", 64, Unit::Count, {}}, false},
        {"about 0.5 MB", {"k", 5, Unit::Count, {}}, false},
        {"256 UTF-16 units", {"k", 16, Unit::Count, {}}, false},
        {"the last 1/16, at least 32", {"k", 16, Unit::Count, {}}, false},
        {"the last 1/16, at least 32", {"k", 16, Unit::Share, {}}, true},
        {"4 MiB of answers", {"k", 4u << 20, Unit::Bytes, {}}, true},
        {"4,096 KiB", {"k", 4u << 20, Unit::Bytes, {}}, true},
        {"64 MiB of answers", {"k", 4u << 20, Unit::Bytes, {}}, false},
        {"4 KiB", {"k", 4096, Unit::Count, {}}, false},
        {"64 bytes per byte", {"k", 64, Unit::Bytes, {}}, true},
        {"10 s (the call timeout)", {"kMs", 10000, Unit::Ms, {}}, true},
        {"10,000 ms", {"kMs", 10000, Unit::Ms, {}}, true},
        {"10 seconds", {"kMs", 10000, Unit::Ms, {}}, false},
        {"after 250 ms, doubling to 5 s", {"kMs", 5000, Unit::Ms, {}}, true},
        {"after 250 ms", {"kMs", 250, Unit::Count, {}}, false},
        {"1 to 0xFFFFFF", {"k", 0xFFFFFF, Unit::Hex, {}}, true},
        {"1 to 0xFFFFFF0", {"k", 0xFFFFFF, Unit::Hex, {}}, false},
        {"version 3 and later", {"k", 0, Unit::Text, "version 3"}, true},
        {"version 31 and later", {"k", 0, Unit::Text, "version 3"}, false},
    };
    for (const Case& c : cases) EXPECT_EQ(docs::states(c.text, c.limit), c.states) << c.text;
}

}  // namespace
}  // namespace zorlek
