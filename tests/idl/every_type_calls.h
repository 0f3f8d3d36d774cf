// SPDX-License-Identifier: Apache-2.0
// Calls of the test service of every type through its generated proxy: every type at its
// edges, sent and answered back, wherever the service runs.
#pragma once

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "every_type.zi.h"

namespace zorlek::test {

using EveryTypeProxy = ::test::IEveryType::Proxy;

// Calls `method` with `value` and expects it back, with status 0.
template <typename T, typename Method>
void expectEchoed(EveryTypeProxy& proxy, Method method, const T& value, const char* what) {
    T echoed{};
    EXPECT_EQ((proxy.*method)(value, &echoed), OK) << what;
    EXPECT_TRUE(echoed == value) << what;
}

inline ::test::IEveryType::Everything everything() {
    ::test::IEveryType::Everything all;
    all.number = INT32_MIN;
    all.big = INT64_MAX;
    all.flag = true;
    all.text = String16(u"caf\xE9 \xD800 \xDE00\xD83D");
    all.maybe = String16(u"");
    all.data = {0, 1, 2, 0xFF, 0x80};
    all.numbers = {1, -1, INT32_MAX};
    all.bigs = {INT64_MIN, 0};
    all.flags = {true, false, true};
    all.texts = {String16(u""), String16(u"two"), String16(std::u16string(u"\0\0\0", 3))};
    all.maybes = {std::nullopt, String16(u"x"), std::nullopt};
    all.blobs = {{}, {7}, {1, 2, 3, 4}};
    all.point = {3, -4};
    all.points = {{1, 2}, {0, 0}};
    all.grid = {{}, {1}, {2, 3}};
    return all;
}

inline void expectEveryTypeRoundTrips(EveryTypeProxy& proxy) {
    using Proxy = EveryTypeProxy;
    for (int32_t v : {INT32_MIN, -1, 0, INT32_MAX}) expectEchoed(proxy, &Proxy::echoI32, v, "i32");
    for (int64_t v : {INT64_MIN, int64_t{-1}, int64_t{0x100000000}, INT64_MAX}) {
        expectEchoed(proxy, &Proxy::echoI64, v, "i64");
    }
    for (bool v : {true, false}) expectEchoed(proxy, &Proxy::echoBool, v, "bool");
    for (const String16& v :
         {String16(), String16(u"hi"), String16(u"\xD800"), String16(std::u16string(u"a\0b", 3)),
          String16(std::u16string(100000, u'\x20AC'))}) {
        expectEchoed(proxy, &Proxy::echoS16, v, "s16");
    }
    for (const std::optional<String16>& v :
         {std::optional<String16>(), std::optional<String16>(String16()),
          std::optional<String16>(String16(u"x"))}) {
        expectEchoed(proxy, &Proxy::echoNullable, v, "s16?");
    }
    std::vector<uint8_t> every(256);
    for (size_t i = 0; i < every.size(); ++i) every[i] = static_cast<uint8_t>(i);
    for (const std::vector<uint8_t>& v :
         {std::vector<uint8_t>{}, {0}, {1, 2, 3}, {1, 2, 3, 4}, {1, 2, 3, 4, 5}, every}) {
        expectEchoed(proxy, &Proxy::echoBytes, v, "bytes");
    }
    expectEchoed(proxy, &Proxy::echoEverything, everything(), "record of everything");
    expectEchoed(proxy, &Proxy::echoEverything, ::test::IEveryType::Everything{}, "empty record");

    std::vector<::test::IEveryType::Point> points, z;
    points = {{1, 2}, {-3, 4}};
    String16 y;
    int32_t x = 0;
    EXPECT_EQ(proxy.reverse(9, String16(u"b"), points, &z, &y, &x), OK);
    EXPECT_TRUE(z == points && y == String16(u"b") && x == 9);
    // Out-pointers left null are skipped.
    EXPECT_EQ(proxy.reverse(9, String16(u"b"), points, nullptr, nullptr, nullptr), OK);

    int32_t before = -1, after = -1;
    EXPECT_EQ(proxy.calls(&before), OK);
    EXPECT_EQ(proxy.fail(-EINVAL), -EINVAL);
    EXPECT_EQ(proxy.fail(5), 5);
    EXPECT_EQ(proxy.fail(0), OK);
    EXPECT_EQ(proxy.notify(String16(u"one way")), OK);
    EXPECT_EQ(proxy.nothing(), OK);
    String16 text(u"untouched");
    EXPECT_EQ(proxy.broken(&text), -EBADMSG);
    EXPECT_TRUE(text == String16(u"untouched"));
    EXPECT_EQ(proxy.calls(&after), OK);
    // The calls in between, the one-way call included (it is handled before the next).
    EXPECT_EQ(after - before, 7);
}

}  // namespace zorlek::test
