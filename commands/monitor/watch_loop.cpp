// SPDX-License-Identifier: Apache-2.0
// The watch itself: one poll over every tap and the signals, each ready tap read once a
// turn (so that one busy host cannot hold the others back), what came written, and the
// output flushed before each wait, so that a reader of a pipe sees each call as it comes.
#include <poll.h>

#include <cstring>
#include <vector>

#include "commands/monitor/pcapng.h"
#include "commands/monitor/watch.h"
#include "platform/text.h"

namespace zorlek {
namespace {

class WatchSink : public TapSink {
  public:
    WatchSink(const WatchOptions& options, const std::vector<WatchedService>& services)
        : options_(options), services_(services) {}

    bool onRecord(size_t tap, const CallRecord& record, const uint8_t* payload,
                  size_t size) override {
        const WatchedService& s = services_[tap];
        // A call to another of the host's objects belongs to another name (or to an object
        // the host handed out): not this service's.
        if (record.direction == CALL_TO_HOST && record.handle != s.handle) return true;
        RecordContext context;
        context.service = &s.name;
        context.shownService = std::string_view(s.shown.data(), s.shown.size());
        if (record.direction == CALL_TO_HOST) context.method = s.methodOf(record.code);
        if (options_.capture) {
            block_.clear();
            appendCapturedRecord(&block_, record.timeUs, payload, size, context.shownService,
                                 context.method);
            aout.write(reinterpret_cast<const char*>(block_.data()), block_.dataSize());
        } else if (options_.style.json) {
            writeRecordJson(aout, record, context, options_.style);
            aout << endl;
        } else {
            writeRecordText(aout, record, context);
            aout << endl;
        }
        ++shown_;
        return !done();
    }

    void onDropped(size_t /*tap*/, uint32_t count) override {
        aerr << "zorlek: " << count << " calls not shown" << endl;
    }

    bool done() const { return options_.count != 0 && shown_ >= options_.count; }

  private:
    const WatchOptions& options_;
    const std::vector<WatchedService>& services_;
    uint64_t shown_ = 0;
    Parcel block_;  // reused for each block of a capture
};

// Writes why the tap of `s` ended, and lets it go.
void endTap(ToolState& state, WatchedService& s, TapState how) {
    if (how == TapState::kGone) {
        aerr << "zorlek: " << s.typed << " is gone" << endl;
    } else if (how == TapState::kMalformed) {
        aerr << "zorlek: " << s.typed << " sent a malformed call record" << endl;
    } else {
        aerr << "zorlek: Unable to read the calls of " << s.typed << ": "
             << std::strerror(-s.tap->failure()) << endl;
    }
    state.exitStatus = EXIT_USAGE;
    s.tap.reset();
}

}  // namespace

void watchTaps(ToolState& state, const WatchOptions& options, std::vector<WatchedService>& services,
               int signals) {
    WatchSink sink(options, services);
    std::vector<pollfd> polled;
    std::vector<size_t> polledTaps;
    for (;;) {
        polled.clear();
        polledTaps.clear();
        for (size_t i = 0; i < services.size(); ++i) {
            if (!services[i].tap) continue;
            polled.push_back({services[i].tap->fd(), POLLIN, 0});
            polledTaps.push_back(i);
        }
        if (polled.empty()) return;
        polled.push_back({signals, POLLIN, 0});
        int timeoutMs = options.timed ? options.deadline.remainingMs() : -1;
        if (aout.flush() != 0 || timeoutMs == 0) return;
        int ready = ::poll(polled.data(), polled.size(), timeoutMs);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) {
            aerr << "zorlek: Unable to wait for calls: " << std::strerror(errno) << endl;
            state.exitStatus = EXIT_USAGE;
            return;
        }
        if (polled.back().revents != 0) return;  // SIGINT or SIGTERM
        for (size_t k = 0; k < polledTaps.size(); ++k) {
            if (polled[k].revents == 0) continue;
            WatchedService& s = services[polledTaps[k]];
            TapState how = s.tap->readOnce(sink);
            if (sink.done()) return;
            if (how != TapState::kOpen && how != TapState::kStopped) endTap(state, s, how);
        }
    }
}

}  // namespace zorlek
