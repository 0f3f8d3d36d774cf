#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The headers zorlek-idl writes compile without a single warning under -Wall -Wextra
# -Werror (and -Wpedantic -Wshadow), with g++ and with clang++, with exceptions and
# without: those of the test service of every type, of the sample, and of a description
# whose names come as close as they may to the generated code's own, with doc comments
# that C++ could misread, of a path and doc comments that would become code or join lines,
# and of files of several interfaces that pass objects (the ticker's, and interfaces whose
# namespaces nest).
# Usage: compile_generated.sh SOURCE_DIR ZORLEK_IDL. Exits 77 (skipped) when a compiler is
# missing.
set -u
src=$1 idl=$2
tmp=$(mktemp -d "${TMPDIR:-/tmp}/zorlek-idl.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
for compiler in g++ clang++; do
    command -v "$compiler" >/dev/null || { echo "skipped: $compiler is not installed"; exit 77; }
done
cat >"$tmp/close.zi" <<'ZI'
/// Names close to the generated code's, and doc comments C++ must not misread:
/// a trigraph ??/
/// a backslash at the end \
/// quotes " and ' and a tab	and \x41 \u0041 */ /*
interface closely.calls.IClose;
record Data { code: i32; reply: s16; flags: bool; status: i32; object: i64; value: Data2_x; }
ZI
# The record above names a type not declared: zorlek-idl must refuse it with its line.
if "$idl" -o "$tmp/close.zi.h" "$tmp/close.zi" 2>"$tmp/err"; then
    echo "FAIL: an unknown type was accepted"; exit 1
fi
grep -qx "$tmp/close.zi:6: unknown type 'Data2_x' (a record is declared before its use)" "$tmp/err" ||
    { echo "FAIL: the error reads:"; cat "$tmp/err"; exit 1; }
[ ! -e "$tmp/close.zi.h" ] || { echo "FAIL: a header was written for a wrong description"; exit 1; }
sed -i 's/ value: Data2_x;//' "$tmp/close.zi"
cat >>"$tmp/close.zi" <<'ZI'
record Nested { inner: Data[]; request: bytes; grid: s16?[][]; }
method request(code: i32, data: Data, flags: bool, reply: Nested[]) -> (status: i32, object: s16?, value: Data) = 1;
method call(status: i32) -> (request: i32) = 2;
oneway method flags(code: i32) = 3;
method empty() = 4;
ZI
cat >"$tmp/nested.zi" <<'ZI'
interface closely;
record Data { object: i32; }
method object(object: closely.calls, data: Data) -> (proxy: closely, reply: closely.calls.IClose) = 1;
interface closely.calls;
oneway method drop(closely: closely) = 1;
ZI
for zi in "$src/tests/idl/every_type.zi" "$src/services/sample/adder.zi" "$tmp/close.zi" \
    "$src/services/sample/ticker.zi" "$src/tests/idl/objects.zi" "$tmp/nested.zi"; do
    "$idl" -o "$tmp/$(basename "$zi").h" "$zi" || { echo "FAIL: zorlek-idl $zi"; exit 1; }
done
# Text copied into the header never becomes code nor joins lines: a path whose line breaks
# would put an #error in it, doc comments that end in a backslash, spaces and a NUL before
# the field that use.cpp sets.
hostile="$tmp/"$'x\n#error the path became code\n\\.zi'
{
    printf 'interface hostile.IText;\n/// ends in a backslash and a space \\ \n'
    printf 'record Text {\n  /// a backslash, a space and a NUL \\ \0\n  first: i32;\n'
    printf '  /// ?\?/\n  second: i32;\n}\n'
} >"$hostile"
"$idl" -o "$tmp/hostile.zi.h" "$hostile" || { echo "FAIL: zorlek-idl of a hostile path"; exit 1; }
cat >"$tmp/use.cpp" <<'CPP'
#include "adder.zi.h"
#include "close.zi.h"
#include "hostile.zi.h"
#include "nested.zi.h"
#include "objects.zi.h"
#include "ticker.zi.h"
#include "tests/idl/every_type_service.h"

namespace {
using namespace closely::calls::IClose;

struct Close : Service {
    zorlek::status_t request(int32_t code, const Data& data, bool flags, const std::vector<Nested>& reply,
                             int32_t* status, std::optional<zorlek::String16>* object, Data* value) override {
        *status = code + (flags ? 1 : 0) + static_cast<int32_t>(reply.size());
        object->reset();
        *value = data;
        return zorlek::OK;
    }
    zorlek::status_t call(int32_t status, int32_t* request) override {
        *request = status;
        return zorlek::OK;
    }
    zorlek::status_t flags(int32_t) override { return zorlek::OK; }
    zorlek::status_t empty() override { return zorlek::OK; }
};

struct Ticker : sample::ITicker::Service {
    zorlek::status_t subscribe(const zorlek::sp<zorlek::IBinder>& listener, int32_t period_ms,
                               int32_t* subscribers) override {
        *subscribers = period_ms;
        return sample::ITickListener::Proxy(listener).tick(1);
    }
    zorlek::status_t probe(const zorlek::sp<zorlek::IBinder>& listener, int32_t n, int32_t* answer) override {
        sample::ITickListener::Proxy wrapped(listener);
        return wrapped.ping(n, answer);
    }
};

struct Listener : sample::ITickListener::Service {
    zorlek::status_t tick(int64_t) override { return zorlek::OK; }
    zorlek::status_t ping(int32_t n, int32_t* echo) override {
        *echo = n;
        return zorlek::OK;
    }
};

struct Outer : closely::Service {
    zorlek::status_t object(const zorlek::sp<zorlek::IBinder>& object, const closely::Data& data,
                            zorlek::sp<zorlek::IBinder>* proxy,
                            zorlek::sp<zorlek::IBinder>* reply) override {
        *proxy = object;
        *reply = nullptr;
        return data.object;
    }
};

struct Adder : sample::IAdder::Service {
    zorlek::status_t add(int32_t a, int32_t b, int32_t* sum) override {
        *sum = a + b;
        return zorlek::OK;
    }
};
}  // namespace

int main() {
    Proxy close(zorlek::make<Close>());
    int32_t status = 0;
    Data value;
    close.request(1, Data{}, true, {Nested{}}, &status, nullptr, &value);
    close.flags(2);
    sample::IAdder::Proxy adder(zorlek::make<Adder>());
    int32_t sum = 0;
    adder.add(1, 2, &sum);
    ::test::IEveryType::Proxy every(zorlek::make<zorlek::test::EveryType>());
    sample::ITicker::Proxy ticker(zorlek::make<Ticker>());
    int32_t subscribers = 0;
    ticker.subscribe(zorlek::make<Listener>(), 5, &subscribers);
    ticker.probe(nullptr, 5, &subscribers);
    closely::Proxy outer(zorlek::make<Outer>());
    zorlek::sp<zorlek::IBinder> back;
    outer.object(nullptr, closely::Data{}, &back, nullptr);
    closely::calls::Proxy(back).drop(nullptr);
    test::IObjects::Proxy objects(nullptr);
    objects.drop(nullptr);
    hostile::IText::Text text;
    text.first = 1;
    text.second = 2;
    return every.nothing() + status + sum + text.first + text.second + subscribers;
}
CPP
failed=0
for compiler in g++ clang++; do
    for exceptions in -fexceptions -fno-exceptions; do
        if ! "$compiler" -std=c++20 -Wall -Wextra -Werror -Wpedantic -Wshadow -Wnon-virtual-dtor \
            "$exceptions" -I"$tmp" -I"$src" -c -o "$tmp/use.o" "$tmp/use.cpp"; then
            echo "FAIL: the generated headers do not compile cleanly with $compiler $exceptions"
            failed=1
        fi
    done
done
[ $failed -eq 0 ] && echo "the generated headers compile cleanly with g++ and clang++"
exit $failed
