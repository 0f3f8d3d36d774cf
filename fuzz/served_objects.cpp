// SPDX-License-Identifier: Apache-2.0
#include "fuzz/served_objects.h"

#include <cstring>

#include "fuzz/check.h"
#include "platform/base/call_context.h"
#include "platform/hosting/local_object.h"

namespace zorlek::fuzz {
namespace {

// The bytes the large object answers with, from an offset its call's code chooses.
const uint8_t* largeReplyBytes() {
    static uint8_t* bytes = [] {
        auto* made = new uint8_t[kMaxParcelSize + 4 + 256];
        for (size_t i = 0; i < kMaxParcelSize + 4 + 256; ++i) {
            made[i] = static_cast<uint8_t>(i * 7 + i / 251);
        }
        return made;
    }();
    return bytes;
}

status_t failureOf(uint32_t code) {
    return -1 - static_cast<status_t>(code % 100);
}

uint64_t hashOf(const uint8_t* bytes, size_t size) {
    uint64_t hash = 14695981039346656037ull;
    for (size_t i = 0; i < size; ++i) hash = (hash ^ bytes[i]) * 1099511628211ull;
    return hash;
}

class Echo : public LocalObject {
  public:
    Echo() : LocalObject(String16("fuzz.IEcho")) {}
    status_t onTransact(uint32_t, Parcel& data, Parcel* reply, uint32_t) override {
        reply->writeInt32(static_cast<int32_t>(callingUid()));
        reply->writeInt32(callingPid());
        return reply->write(data.data(), data.dataSize());
    }
};

class Withholding : public LocalObject {
  public:
    Withholding() : LocalObject(String16("fuzz.IWithholding")) {}
    status_t onTransact(uint32_t, Parcel&, Parcel*, uint32_t) override {
        withholdReply();
        return OK;
    }
};

class Failing : public LocalObject {
  public:
    Failing() : LocalObject(String16("fuzz.IFailing")) {}
    status_t onTransact(uint32_t code, Parcel&, Parcel* reply, uint32_t) override {
        reply->writeInt32(static_cast<int32_t>(code));
        return failureOf(code);
    }
};

class Large : public LocalObject {
  public:
    Large() : LocalObject(String16("fuzz.ILarge")) {}
    status_t onTransact(uint32_t code, Parcel& data, Parcel* reply, uint32_t) override {
        int32_t asked = 0;
        data.readInt32(&asked);
        size_t size = static_cast<uint32_t>(asked);
        if (size > kMaxParcelSize + 4) size = kMaxParcelSize + 4;
        return reply->write(largeReplyBytes() + code % 256, size);
    }
};

class Unpublished : public LocalObject {
  public:
    Unpublished() : LocalObject(String16("fuzz.IUnpublished")) {}
    status_t onTransact(uint32_t, Parcel&, Parcel*, uint32_t) override {
        ++calls;
        return OK;
    }
    size_t calls = 0;
};

uint32_t wordAt(const Parcel& parcel, size_t at) {
    uint32_t word;
    std::memcpy(&word, parcel.data() + at, 4);
    return word;
}

}  // namespace

ServedObjects::ServedObjects(ObjectTable& objects) : unpublished_(make<Unpublished>()) {
    objects.publish(objects.add(make<Echo>()));
    objects.publish(objects.add(make<Withholding>()));
    objects.publish(objects.add(make<Failing>()));
    objects.publish(objects.add(make<Large>()));
    objects.add(unpublished_);
    largeReplyBytes();
}

size_t ServedObjects::unpublishedCalls() const {
    return static_cast<const Unpublished&>(*unpublished_).calls;
}

bool owedFor(const Message& call, OwedReply* owed) {
    const MessageHeader& header = call.header;
    if ((static_cast<uint32_t>(header.value) & FLAG_ONEWAY) != 0) return false;
    *owed = {OwedReply::kNoObject, header, call.sender};
    if (call.sender.pid == 0) {
        owed->kind = OwedReply::kRefused;
    } else if (header.object == kEcho) {
        owed->size = header.size;
        owed->hash = hashOf(call.payload.data(), call.payload.dataSize());
        owed->kind = 8 + owed->size > kMaxParcelSize ? OwedReply::kTooLarge : OwedReply::kEchoed;
    } else if (header.object == kWithholding) {
        return false;
    } else if (header.object == kFailing) {
        owed->kind = OwedReply::kFailed;
    } else if (header.object == kLarge) {
        int32_t asked = 0;
        Parcel request(call.payload);
        request.readInt32(&asked);
        owed->size = static_cast<uint32_t>(asked);
        owed->kind = owed->size > kMaxParcelSize ? OwedReply::kTooLarge : OwedReply::kLargeReply;
    }
    return true;
}

void checkOwed(const OwedReply& owed, const Message& reply) {
    const MessageHeader& header = reply.header;
    const Parcel& payload = reply.payload;
    check(header.type == MSG_REPLY && header.serial == owed.call.serial &&
              header.code == owed.call.code && header.object == owed.call.object,
          "a reply answers the call owed one, in order, with its serial and code");
    switch (owed.kind) {
        case OwedReply::kEchoed:
            check(header.value == OK && payload.dataSize() == 8 + owed.size &&
                      hashOf(payload.data() + 8, owed.size) == owed.hash,
                  "an echo holds the request whole");
            check(wordAt(payload, 0) == owed.sender.uid &&
                      wordAt(payload, 4) == static_cast<uint32_t>(owed.sender.pid),
                  "a call is served as the sender the kernel named with it");
            break;
        case OwedReply::kRefused:
            check(header.value == -EACCES && payload.dataSize() == 0,
                  "a call the kernel named no sender for is refused");
            break;
        case OwedReply::kFailed:
            check(header.value == failureOf(owed.call.code), "a failure is answered as it failed");
            break;
        case OwedReply::kLargeReply: {
            // Written as raw bytes, padded with zeros to a multiple of 4.
            size_t padded = (owed.size + 3) & ~size_t{3};
            bool whole = header.value == OK && payload.dataSize() == padded &&
                         (owed.size == 0 ||
                          std::memcmp(payload.data(), largeReplyBytes() + owed.call.code % 256,
                                      owed.size) == 0);
            for (size_t i = owed.size; whole && i < padded; ++i) whole = payload.data()[i] == 0;
            check(whole, "a large reply comes whole");
            break;
        }
        case OwedReply::kTooLarge:
            check(header.value == -EMSGSIZE && payload.dataSize() == 0,
                  "a reply past the limit is refused, empty");
            break;
        case OwedReply::kNoObject:
            check(header.value != OK, "a call to an object never given is refused");
            break;
    }
}

}  // namespace zorlek::fuzz
