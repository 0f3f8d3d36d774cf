// SPDX-License-Identifier: Apache-2.0
// RegistryClient's paged listings against a registry played by hand: every page
// gathered, and nothing at all from a listing that is malformed, out of order or past
// its bounds.

#include <gtest/gtest.h>

#include "tests/platform/fake_registry.h"

namespace zorlek::test {
namespace {

TEST_F(ClientFixture, ListingGathersEveryPage) {
    std::vector<String16> afters;
    PlayedRegistry fake(path, [&](int fd, int) {
        if (!answerHello(fd)) return;
        const std::vector<std::vector<std::u16string>> pages = {{u"a", u"b"}, {u"c"}, {u"d", u"e"}};
        for (size_t i = 0; i < pages.size(); ++i) {
            Request in = receiveRequest(fd);
            if (in.status != OK || in.header.type != MSG_LIST) return;
            int32_t length = 0;
            Parcel copy = in.payload;
            copy.readInt32(&length);
            afters.push_back(length == -1 ? String16("(null)") : in.payload.readString16());
            reply(fd, MSG_LIST_REPLY, i + 1 < pages.size() ? 1 : 0, page(pages[i]));
        }
    });
    sp<RegistryClient> client = RegistryClient::connect(path.c_str(), 2000);
    ASSERT_TRUE(client);
    Vector<String16> names;
    ASSERT_EQ(client->list(&names), OK);
    EXPECT_EQ(names, (Vector<String16>{String16("a"), String16("b"), String16("c"), String16("d"),
                                       String16("e")}));
    EXPECT_EQ(afters, (std::vector<String16>{String16("(null)"), String16("b"), String16("c")}));
}

TEST_F(ClientFixture, AMalformedListingGivesNothingAtAll) {
    struct Case {
        const char* what;
        int32_t more;
        Parcel payload;
    };
    Parcel countTooBig;
    countTooBig.writeInt32(1000);
    countTooBig.writeString16(String16("a"));
    Parcel negative;
    negative.writeInt32(-1);
    Parcel badString;
    badString.writeInt32(1);
    badString.writeInt32(100);
    badString.writeInt32(0);
    const Case cases[] = {
        {"unsorted", 0, page({u"b", u"a"})},
        {"duplicate", 0, page({u"a", u"a"})},
        {"empty name", 0, page({u""})},
        {"count past the payload", 0, countTooBig},
        {"negative count", 0, negative},
        {"string running past the end", 0, badString},
        {"more promised but nothing given", 1, page({})},
        {"unknown more flag", 2, page({u"a"})},
        {"empty payload", 0, Parcel()},
    };
    for (const Case& c : cases) {
        ::unlink(path.c_str());
        PlayedRegistry fake(path, [&](int fd, int) {
            if (!answerHello(fd)) return;
            receiveRequest(fd);
            reply(fd, MSG_LIST_REPLY, c.more, c.payload);
            readAvailable(fd, 200);
        });
        sp<RegistryClient> client = RegistryClient::connect(path.c_str(), 2000);
        ASSERT_TRUE(client) << c.what;
        Vector<String16> names = {String16("stale")};
        EXPECT_EQ(client->list(&names), -EBADMSG) << c.what;
        EXPECT_TRUE(names.empty()) << c.what;
    }
}

TEST_F(ClientFixture, AListingPastItsBoundsGivesNothingAtAll) {
    // Pages of up to 1 MiB: two-unit names, or one name of half a million units a page.
    auto smallNames = [](size_t total) {
        return [total](size_t pageIndex, bool* more) {
            const size_t perPage = 80000;
            size_t from = pageIndex * perPage;
            size_t to = std::min(total, from + perPage);
            Parcel p;
            p.writeInt32(static_cast<int32_t>(to - from));
            for (size_t i = from; i < to; ++i) {
                char16_t units[2] = {static_cast<char16_t>(0x4E00 + i / 4096),
                                     static_cast<char16_t>(0x4E00 + i % 4096)};
                p.writeString16(String16(std::u16string(units, 2)));
            }
            *more = to < total;
            return p;
        };
    };
    auto bigNames = [](size_t pageIndex, bool* more) {
        std::u16string name(524000, u'x');
        name[0] = static_cast<char16_t>(0x4E00 + pageIndex);
        Parcel p;
        p.writeInt32(1);
        p.writeString16(String16(name));
        *more = pageIndex < 200;
        return p;
    };
    const struct {
        const char* what;
        std::function<Parcel(size_t, bool*)> page;
        status_t expected;
        size_t names;
    } cases[] = {
        {"exactly the most names", smallNames(kMaxListedNames), OK, kMaxListedNames},
        {"one name more", smallNames(kMaxListedNames + 1), -E2BIG, 0},
        {"more bytes than the bound", bigNames, -E2BIG, 0},
    };
    for (const auto& c : cases) {
        ::unlink(path.c_str());
        PlayedRegistry fake(path, [&](int fd, int) {
            if (!answerHello(fd)) return;
            bool more = true;
            for (size_t i = 0; more; ++i) {
                if (receiveRequest(fd).status != OK) return;
                Parcel page = c.page(i, &more);
                if (reply(fd, MSG_LIST_REPLY, more ? 1 : 0, page) != OK) return;
            }
        });
        sp<RegistryClient> client = RegistryClient::connect(path.c_str(), 2000);
        ASSERT_TRUE(client) << c.what;
        Vector<String16> names;
        EXPECT_EQ(client->list(&names), c.expected) << c.what;
        EXPECT_EQ(names.size(), c.names) << c.what;
    }
}

TEST_F(ClientFixture, ALaterPageOutOfOrderGivesNothingAtAll) {
    PlayedRegistry fake(path, [&](int fd, int) {
        if (!answerHello(fd)) return;
        receiveRequest(fd);
        reply(fd, MSG_LIST_REPLY, 1, page({u"m", u"n"}));
        receiveRequest(fd);
        reply(fd, MSG_LIST_REPLY, 0, page({u"a"}));
        readAvailable(fd, 200);
    });
    sp<RegistryClient> client = RegistryClient::connect(path.c_str(), 2000);
    ASSERT_TRUE(client);
    EXPECT_TRUE(client->listServiceNames().empty());
}

}  // namespace
}  // namespace zorlek::test
