// SPDX-License-Identifier: Apache-2.0
// The test service of every type (every_type.zi): each method answers its arguments back,
// `fail` fails with the status given, and every call is counted.
#pragma once

#include "every_type.zi.h"

namespace zorlek::test {

class EveryType : public ::test::IEveryType::Service {
  public:
    using Everything = ::test::IEveryType::Everything;
    using Point = ::test::IEveryType::Point;

    status_t echoI32(int32_t v, int32_t* echoed) override { return answer(v, echoed); }
    status_t echoI64(int64_t v, int64_t* echoed) override { return answer(v, echoed); }
    status_t echoBool(bool v, bool* echoed) override { return answer(v, echoed); }
    status_t echoS16(const String16& v, String16* echoed) override { return answer(v, echoed); }
    status_t echoNullable(const std::optional<String16>& v,
                          std::optional<String16>* echoed) override {
        return answer(v, echoed);
    }
    status_t echoBytes(const std::vector<uint8_t>& v, std::vector<uint8_t>* echoed) override {
        return answer(v, echoed);
    }
    status_t echoEverything(const Everything& v, Everything* echoed) override {
        return answer(v, echoed);
    }
    status_t reverse(int32_t a, const String16& b, const std::vector<Point>& c,
                     std::vector<Point>* z, String16* y, int32_t* x) override {
        *z = c;
        *y = b;
        return answer(a, x);
    }
    status_t fail(int32_t status) override {
        ++calls_;
        return status;
    }
    status_t notify(const String16&) override {
        ++calls_;
        return OK;
    }
    status_t calls(int32_t* count) override {
        *count = calls_++;
        return OK;
    }
    status_t broken(String16*) override { return OK; }
    status_t nothing() override {
        ++calls_;
        return OK;
    }

    // `broken` is answered here, past the generated code: a string item whose length
    // passes the end of the reply.
    status_t onTransact(uint32_t code, Parcel& data, Parcel* reply, uint32_t flags) override {
        if (code != 12) return Service::onTransact(code, data, reply, flags);
        ++calls_;
        reply->writeInt32(1000);
        return reply->writeInt32(0x41);
    }

  private:
    template <typename T>
    status_t answer(const T& value, T* echoed) {
        ++calls_;
        *echoed = value;
        return OK;
    }

    int32_t calls_ = 0;
};

}  // namespace zorlek::test
