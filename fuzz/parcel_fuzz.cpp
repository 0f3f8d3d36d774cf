// SPDX-License-Identifier: Apache-2.0
// Arbitrary bytes as a received parcel: a sequence of reads, writes and seeks chosen by
// the input, then the reply dump. Reads must stay in the buffer (the sanitizers check
// that), never move on failure, agree with the bytes they read, and read back what was
// written; the dump must show exactly the parcel's bytes in its fixed layout.
//
// Input: byte 0 holds the number of operation bytes (low 5 bits), those bytes follow,
// and the rest is the parcel.

#include <cstdint>
#include <cstdio>

#include "fuzz/check.h"
#include "platform/ipc.h"
#include "platform/text.h"

namespace zorlek {
namespace {

using fuzz::check;

uint32_t le32(const uint8_t* at) {
    return at[0] | at[1] << 8 | at[2] << 16 | static_cast<uint32_t>(at[3]) << 24;
}

// What the operations remember between steps: the last integer and string read.
struct Memory {
    int32_t number = 0;
    String16 text{std::u16string(u"zorlek.IEcho")};
};

// The size of a string item of `units` code units as the encoding lays it out.
size_t stringItemSize(size_t units) {
    return (4 + (units + 1) * 2 + 3) & ~size_t{3};
}

// Runs one read; returns its status, or 1 when the operation was not a read.
status_t read(Parcel& parcel, uint8_t op, Memory& memory) {
    size_t at = parcel.dataPosition();
    const uint8_t* here = parcel.data() + at;
    switch (op & 7) {
        case 0: {
            status_t status = parcel.readInt32(&memory.number);
            if (status == OK) check(static_cast<uint32_t>(memory.number) == le32(here), "int32");
            return status;
        }
        case 1: {
            String16 text;
            status_t status = parcel.readString16(&text);
            if (status != OK) return status;
            bool null = le32(here) == 0xFFFFFFFFu;
            check(null ? text.size() == 0 && parcel.dataPosition() == at + 4
                       : le32(here) == text.size() &&
                             parcel.dataPosition() == at + stringItemSize(text.size()),
                  "string16 length");
            for (size_t i = 0; i < text.size(); ++i) {
                check(text[i] == (here[4 + 2 * i] | here[5 + 2 * i] << 8), "string16 unit");
            }
            memory.text = text;
            return OK;
        }
        case 2: {
            String16 text = parcel.readString16();
            if (parcel.dataPosition() == at) check(text.size() == 0, "failed string not empty");
            return parcel.dataPosition() == at ? -EBADMSG : OK;
        }
        case 3: {
            sp<IBinder> object;
            status_t status = parcel.readStrongBinder(&object);
            if (status == OK) check(!object && le32(here) == 0 && le32(here + 4) == 0, "binder");
            return status;
        }
        case 4: {
            // The token matches exactly when a string read from here gives that text.
            String16 token;
            bool readable = parcel.readString16(&token) == OK;
            parcel.setDataPosition(at);
            bool matches = parcel.enforceInterface(memory.text);
            check(matches == (readable && token == memory.text), "enforceInterface");
            return matches ? OK : -EBADMSG;
        }
        default:
            return 1;
    }
}

// Seeks or appends one item, checking that a written item reads back the same.
void seekOrWrite(Parcel& parcel, uint8_t op, Memory& memory) {
    size_t arg = op >> 3;
    if ((op & 7) == 5) {
        parcel.setDataPosition(arg);
    } else if ((op & 7) == 6) {
        parcel.setDataPosition(arg == 31 ? SIZE_MAX : parcel.dataSize() - arg);
    } else {
        size_t keep = parcel.dataPosition();
        size_t end = parcel.dataSize();
        status_t written = (arg & 3) == 0   ? parcel.writeInt32(memory.number)
                           : (arg & 3) == 1 ? parcel.writeString16(memory.text)
                           : (arg & 3) == 2 ? parcel.writeNullString16()
                                            : parcel.writeStrongBinder(nullptr);
        check(written == OK || parcel.dataSize() == end, "failed write appended");
        if (written == OK) {
            parcel.setDataPosition(end);
            Memory back;
            check(read(parcel, static_cast<uint8_t>(arg & 3), back) == OK, "written item unread");
            check(parcel.dataPosition() == parcel.dataSize(), "written item size");
            if ((arg & 3) == 0) check(back.number == memory.number, "int32 round trip");
            if ((arg & 3) == 1) check(back.text == memory.text, "string16 round trip");
        }
        parcel.setDataPosition(keep);
    }
    check(parcel.dataPosition() <= parcel.dataSize(), "position past the end");
}

// The dump, line by line as its layout defines it.
void checkDump(const Parcel& parcel) {
    String8 dump;
    TextOutput out(-1, nullptr, TextOutput::Flushing::kWhenFull);
    out.captureInto(&dump);
    parcel.print(out, 0);
    out.flush();
    String8 expected;
    char line[80];
    size_t size = parcel.dataSize();
    std::snprintf(line, sizeof line, "Parcel(%zu bytes)", size);
    expected.append(line);
    for (size_t offset = 0; offset < size; offset += 16) {
        const uint8_t* chunk = parcel.data() + offset;
        size_t count = size - offset < 16 ? size - offset : 16;
        int n = std::snprintf(line, sizeof line, "\n  %08zx:", offset);
        for (size_t word = 0; word + 4 <= count; word += 4) {
            n += std::snprintf(line + n, sizeof line - n, " %08x", le32(chunk + word));
        }
        n += std::snprintf(line + n, sizeof line - n, "%*s", 50 - n, "");
        for (size_t i = 0; i < count; ++i) {
            line[n++] = chunk[i] >= 0x20 && chunk[i] < 0x7F ? static_cast<char>(chunk[i]) : '.';
        }
        expected.append(line, static_cast<size_t>(n));
    }
    check(dump == expected, "dump");
}

}  // namespace
}  // namespace zorlek

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zorlek;
    if (size == 0) return 0;
    size_t ops = data[0] & 31;
    if (ops > size - 1) ops = size - 1;
    const uint8_t* program = data + 1;
    Parcel parcel;
    check(parcel.setData(program + ops, size - 1 - ops) == OK, "setData");
    Memory memory;
    for (size_t i = 0; i < ops; ++i) {
        size_t before = parcel.dataPosition();
        status_t status = read(parcel, program[i], memory);
        if (status == 1) {
            seekOrWrite(parcel, program[i], memory);
            continue;
        }
        size_t after = parcel.dataPosition();
        check(after <= parcel.dataSize(), "read past the end");
        if (status == OK) {
            check(after > before && (after - before) % 4 == 0, "read moved by whole words");
        } else {
            check(after == before, "failed read moved");
        }
    }
    checkDump(parcel);
    return 0;
}
