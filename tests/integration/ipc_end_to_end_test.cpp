// SPDX-License-Identifier: Apache-2.0
// The IPC platform between real processes: a zorlek-registry on a private socket,
// zorlek-echo services, and this process as the client. Lookups and calls, every item
// kind through the echo, the death of a service, held names, who may register, parcels.

#include <sys/stat.h>
#include <unistd.h>

#include "tests/integration/ipc_support.h"

namespace zorlek::test {
namespace {

TEST_F(Fixture, RegisterLookUpAndCall) {
    auto echo = registry.startEcho({"first", "second"});
    ASSERT_TRUE(echo);
    sp<RegistryClient> client = clientOf(registry);
    ASSERT_TRUE(client);
    EXPECT_EQ(asUtf8(client->listServiceNames()), (std::vector<std::string>{"first", "second"}));
    for (const char* name : {"first", "second"}) {
        sp<IBinder> object = client->lookupService(String16(name));
        ASSERT_TRUE(object) << name;
        status_t status;
        EXPECT_EQ(descriptorOf(object, &status), String16("zorlek.IEcho"));
        EXPECT_EQ(status, OK);
    }
    EXPECT_FALSE(client->lookupService(String16("third")));
    EXPECT_FALSE(client->lookupService(String16("Firs")));
}

TEST_F(Fixture, EveryItemKindEchoesBackExactly) {
    auto echo = registry.startEcho({"echo"});
    ASSERT_TRUE(echo);
    sp<IBinder> object = clientOf(registry)->lookupService(String16("echo"));
    ASSERT_TRUE(object);
    Parcel request;
    ASSERT_EQ(request.writeInterfaceToken(String16("x.IEcho")), OK);
    ASSERT_EQ(request.writeInt32(-7), OK);
    ASSERT_EQ(request.writeInt32(INT32_MIN), OK);
    ASSERT_EQ(request.writeString16(String16("h\xC3\xA9llo \xF0\x9F\x98\x80")), OK);
    ASSERT_EQ(request.writeString16(String16("")), OK);
    ASSERT_EQ(request.writeNullString16(), OK);
    ASSERT_EQ(request.writeStrongBinder(nullptr), OK);
    Parcel reply;
    ASSERT_EQ(object->sendTransaction(0x01020304, request, &reply, 0), OK);
    Bytes expected = {0x04, 0x03, 0x02, 0x01};
    Bytes body = bytesOf(request);
    expected.insert(expected.end(), body.begin(), body.end());
    EXPECT_EQ(bytesOf(reply), expected);
    // And it reads back item by item.
    int32_t code = 0, value = 0;
    ASSERT_EQ(reply.readInt32(&code), OK);
    EXPECT_EQ(code, 0x01020304);
    EXPECT_TRUE(reply.enforceInterface(String16("x.IEcho")));
    ASSERT_EQ(reply.readInt32(&value), OK);
    EXPECT_EQ(value, -7);
    ASSERT_EQ(reply.readInt32(&value), OK);
    EXPECT_EQ(value, INT32_MIN);
    EXPECT_EQ(reply.readString16(), String16("h\xC3\xA9llo \xF0\x9F\x98\x80"));
    EXPECT_EQ(reply.readString16(), String16(""));
    EXPECT_EQ(reply.readString16(), String16(""));
    sp<IBinder> none = make<LocalObject>(String16("placeholder"));
    ASSERT_EQ(reply.readStrongBinder(&none), OK);
    EXPECT_FALSE(none);
    EXPECT_EQ(reply.dataAvail(), 0u);
}

TEST_F(Fixture, ParcelsUpToTheLimitTravelBothWays) {
    auto echo = registry.startEcho({"echo"});
    ASSERT_TRUE(echo);
    sp<IBinder> object = clientOf(registry)->lookupService(String16("echo"));
    ASSERT_TRUE(object);
    // The largest request whose echo (4 more bytes) still fits.
    Parcel request;
    uint8_t* at = ParcelAccess::resizeForReceive(request, kMaxParcelSize - 4);
    for (size_t i = 0; i < kMaxParcelSize - 4; ++i) at[i] = static_cast<uint8_t>(i);
    Parcel reply;
    ASSERT_EQ(object->sendTransaction(9, request, &reply, 0), OK);
    ASSERT_EQ(reply.dataSize(), kMaxParcelSize);
    EXPECT_TRUE(std::equal(request.data(), request.data() + request.dataSize(), reply.data() + 4));
    // One word more and the echo would pass the limit: the service says so, with an
    // empty reply, and the channel stays in step.
    ParcelAccess::resizeForReceive(request, kMaxParcelSize);
    EXPECT_EQ(object->sendTransaction(9, request, &reply, 0), -EMSGSIZE);
    EXPECT_EQ(reply.dataSize(), 0u);
    status_t status;
    EXPECT_EQ(descriptorOf(object, &status), String16("zorlek.IEcho"));
    EXPECT_EQ(status, OK);
    // A request over the limit never leaves this process.
    ParcelAccess::resizeForReceive(request, kMaxParcelSize + 4);
    EXPECT_EQ(object->sendTransaction(9, request, &reply, 0), -EMSGSIZE);
    EXPECT_EQ(descriptorOf(object, &status), String16("zorlek.IEcho"));
    EXPECT_EQ(status, OK);
}

TEST_F(Fixture, OneWayCallsGetNoReplyAndKeepTheChannelInStep) {
    auto echo = registry.startEcho({"echo"});
    ASSERT_TRUE(echo);
    sp<IBinder> object = clientOf(registry)->lookupService(String16("echo"));
    ASSERT_TRUE(object);
    Parcel request;
    request.writeInt32(1);
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(object->sendTransaction(5, request, nullptr, FLAG_ONEWAY), OK);
    Parcel reply;
    ASSERT_EQ(object->sendTransaction(6, request, &reply, 0), OK);
    int32_t code = 0;
    ASSERT_EQ(reply.readInt32(&code), OK);
    EXPECT_EQ(code, 6) << "the answer is to this call, not to a one-way one";
}

TEST_F(Fixture, AServiceThatDiesTakesItsNamesAtOnce) {
    for (int signal : {SIGTERM, SIGKILL}) {
        auto echo = registry.startEcho({"a", "b"});
        auto other = registry.startEcho({"c"});
        ASSERT_TRUE(echo && other);
        sp<RegistryClient> client = clientOf(registry);
        sp<IBinder> held = client->lookupService(String16("a"));
        ASSERT_TRUE(held);
        ASSERT_EQ(asUtf8(client->listServiceNames()), (std::vector<std::string>{"a", "b", "c"}));
        echo->stop(signal);
        // No waiting: the listing made after the death must not show its names.
        EXPECT_EQ(asUtf8(client->listServiceNames()), std::vector<std::string>{"c"}) << signal;
        EXPECT_FALSE(client->lookupService(String16("b"))) << signal;
        Parcel reply;
        EXPECT_EQ(held->sendTransaction(1, Parcel(), &reply, 0), -EPIPE) << signal;
        EXPECT_EQ(reply.dataSize(), 0u);
        // The freed names can be registered again.
        auto again = registry.startEcho({"a"});
        EXPECT_TRUE(again) << signal;
    }
}

TEST_F(Fixture, AHeldNameIsRefusedToASecondService) {
    auto echo = registry.startEcho({"taken"});
    ASSERT_TRUE(echo);
    RunResult second = runProgram({binPath("zorlek-echo"), "free", "taken"}, registry.env());
    EXPECT_FALSE(second.timedOut);
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_EQ(second.out, "") << "never ready";
    EXPECT_EQ(second.err, "zorlek-echo: cannot register taken: the name is already registered\n");
    // Its other name went with it, and the holder keeps its own.
    EXPECT_EQ(listed(registry), std::vector<std::string>{"taken"});
    // The same process naming one name twice is refused as well.
    RunResult twice = runProgram({binPath("zorlek-echo"), "x", "x"}, registry.env());
    EXPECT_EQ(twice.exitCode, 1);
    EXPECT_EQ(twice.err, "zorlek-echo: cannot register x: the name is already registered\n");
}

TEST_F(Fixture, InvalidNamesAreRefusedWithAReason) {
    const std::vector<std::string> names = {"", std::string(257, 'n'), "tab\there", "del\x7f"};
    for (const std::string& name : names) {
        RunResult run = runProgram({binPath("zorlek-echo"), name}, registry.env());
        EXPECT_EQ(run.exitCode, 1) << name;
        EXPECT_EQ(run.err, "zorlek-echo: cannot register " + name +
                               ": the name is not valid (1 to 256 UTF-16 code units, no "
                               "control characters)\n")
            << name;
    }
    auto longest = registry.startEcho({std::string(256, 'n')});
    EXPECT_TRUE(longest);
}

TEST_F(Fixture, OnlyRootAndTheRegistrysUserMayRegister) {
    if (::geteuid() != 0 || ::access("/usr/bin/setpriv", X_OK) != 0) {
        GTEST_SKIP() << "needs root and setpriv to run a service as another user";
    }
    // Let the other user reach the socket; the registry's rules decide the rest.
    ASSERT_EQ(::chmod(registry.dir().c_str(), 0755), 0);
    RunResult run = runProgram(asNobody({binPath("zorlek-echo"), "mine"}), registry.env());
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err,
              "zorlek-echo: cannot register mine: this user may not hold the name: no policy "
              "line grants it\n");
    EXPECT_EQ(listed(registry), std::vector<std::string>{});
    // Looking up and listing stay open to everyone.
    auto echo = registry.startEcho({"public"});
    ASSERT_TRUE(echo);
    RunResult list = runProgram(asNobody({binPath("zorlek"), "list"}), registry.env());
    EXPECT_EQ(list.exitCode, 0) << list.err;
    EXPECT_EQ(list.out, "Found 1 services:\n0\tpublic: [zorlek.IEcho]\n");
}

TEST(AnyUser, AllowAnyUserOpensRegistering) {
    if (::geteuid() != 0 || ::access("/usr/bin/setpriv", X_OK) != 0) {
        GTEST_SKIP() << "needs root and setpriv to run a service as another user";
    }
    Registry registry({"--allow-any-user"});
    ASSERT_TRUE(registry.ready());
    ASSERT_EQ(::chmod(registry.dir().c_str(), 0755), 0);
    auto echo = Process::start(asNobody({binPath("zorlek-echo"), "by.nobody"}), registry.env());
    ASSERT_TRUE(echo);
    ASSERT_TRUE(echo->waitForLine("ready", 10000)) << echo->errText();
    sp<IBinder> object = clientOf(registry)->lookupService(String16("by.nobody"));
    ASSERT_TRUE(object);
    status_t status;
    EXPECT_EQ(descriptorOf(object, &status), String16("zorlek.IEcho"));
    EXPECT_EQ(status, OK);
}

// Services that run as their own users register the names the policy grants them, by
// user or by group, and nothing else, --allow-any-user or not; SIGHUP reads it again.
TEST(Policy, ServicesOfOtherUsersRegisterWhatThePolicyGrants) {
    if (::geteuid() != 0 || ::access("/usr/bin/setpriv", X_OK) != 0) {
        GTEST_SKIP() << "needs root and setpriv to run a service as another user";
    }
    TempDir policy;
    std::string file = policy.path() + "/test.conf";
    auto write = [&file](const std::string& text) {
        FILE* out = std::fopen(file.c_str(), "w");
        ASSERT_NE(out, nullptr);
        std::fputs(text.c_str(), out);
        std::fclose(out);
    };
    write(
        "own by.nobody.* user nobody\nown by.group group 4242\nown by.root user root\nbad line\n");
    Registry registry({"--allow-any-user", "--policy-dir", policy.path()});
    ASSERT_TRUE(registry.ready());
    ASSERT_EQ(::chmod(registry.dir().c_str(), 0755), 0);
    // Nobody with the primary group 1234 and the supplementary `groups`.
    auto asNobodyIn = [](const std::string& groups, std::vector<std::string> argv) {
        argv.insert(argv.begin(),
                    {kSetpriv, "--reuid=65534", "--regid=1234", "--groups=" + groups});
        return argv;
    };
    auto echo = Process::start(asNobody({binPath("zorlek-echo"), "by.nobody.a", "open.name"}),
                               registry.env());
    ASSERT_TRUE(echo);
    EXPECT_TRUE(echo->waitForLine("ready", 10000)) << echo->errText();
    RunResult taken = runProgram(asNobody({binPath("zorlek-echo"), "by.root"}), registry.env());
    EXPECT_EQ(taken.err,
              "zorlek-echo: cannot register by.root: this user may not hold the name: only user "
              "root may hold it\n");
    RunResult outsider =
        runProgram(asNobodyIn("7", {binPath("zorlek-echo"), "by.group"}), registry.env());
    EXPECT_EQ(outsider.exitCode, 1);
    EXPECT_NE(outsider.err.find("by.group: this user may not hold the name: no policy line "),
              std::string::npos)
        << "group 4242 has no name here: " << outsider.err;
    EXPECT_EQ(listed(registry), (std::vector<std::string>{"by.nobody.a", "open.name"}));
    std::string log = registry.process()->errText();
    EXPECT_NE(log.find(file + ":4: unknown word 'bad'\n"), std::string::npos) << log;
    EXPECT_NE(log.find(file + ":2: unknown group '4242'\n"), std::string::npos) << log;
    EXPECT_NE(log.find("zorlek-registry: refused by.root to uid 65534 (pid "), std::string::npos)
        << log;

    // Read again on SIGHUP: the group, named as the system knows it, now holds the name,
    // and its member gets it by its supplementary group alone.
    write("own by.group group nogroup\n");
    ASSERT_EQ(::kill(registry.process()->pid(), SIGHUP), 0);
    EXPECT_TRUE(waitUntil(
        [&] {
            return registry.process()->errText().find("policy read again: 1 lines") !=
                   std::string::npos;
        },
        10000));
    auto member =
        Process::start(asNobodyIn("65534", {binPath("zorlek-echo"), "by.group"}), registry.env());
    ASSERT_TRUE(member);
    EXPECT_TRUE(member->waitForLine("ready", 10000)) << member->errText();
    EXPECT_TRUE(registry.process()->running()) << "SIGHUP must not end the registry";
}

TEST_F(Fixture, TheRegistryAnswersEveryRegistrationOnTheWire) {
    // Requests a hosting process could send, answered with a refusal instead of being
    // dropped; the connection stays usable after each.
    RawPeer host(registry);
    ASSERT_TRUE(host.hello());
    Parcel nullName;
    nullName.writeNullString16();
    struct Case {
        const char* what;
        Bytes payload;
        int32_t expected;
    };
    const Case cases[] = {
        {"a valid name", stringPayload(String16("ok.name")), OK},
        {"the same name again from the same connection", stringPayload(String16("ok.name")),
         -EEXIST},
        {"an empty name", stringPayload(String16("")), -EINVAL},
        {"a null name", bytesOf(nullName), -EINVAL},
        {"257 units", stringPayload(String16(std::u16string(257, u'x'))), -EINVAL},
        {"a lone high surrogate", stringPayload(String16(std::u16string(u"a\xD800"))), -EINVAL},
        {"a lone low surrogate", stringPayload(String16(std::u16string(u"\xDC00"))), -EINVAL},
        {"an escape character", stringPayload(String16("\x1b[2J")), -EINVAL},
        {"a surrogate pair", stringPayload(String16(std::u16string(u"\xD83D\xDE00"))), OK},
        {"256 units", stringPayload(String16(std::u16string(256, u'y'))), OK},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(host.sendBytes(registration(c.payload))) << c.what;
        MessageHeader answer = host.answer();
        EXPECT_EQ(answer.type, uint32_t{MSG_REGISTER_REPLY}) << c.what;
        EXPECT_EQ(answer.value, c.expected) << c.what;
    }
    EXPECT_EQ(listed(registry).size(), 3u);
    // Requests sent back to back are answered in order.
    Bytes batch = registration(stringPayload(String16("p1")));
    for (const char* name : {"p2", "ok.name", "p3"}) {
        Bytes more = registration(stringPayload(String16(name)));
        batch.insert(batch.end(), more.begin(), more.end());
    }
    ASSERT_TRUE(host.sendBytes(batch));
    // The answers may arrive together, so they are taken as an event loop takes them.
    MessageReader reader(4096, kMaxRegistryRequest);
    std::vector<int32_t> answers;
    auto start = Clock::now();
    while (answers.size() < 4 && msSince(start) < 3000) {
        pollfd p{host.sock.get(), POLLIN, 0};
        if (::poll(&p, 1, 100) != 1) continue;
        ASSERT_GT(reader.fill(host.sock.get()), 0);
        Message m;
        while (reader.next(&m) == 1) answers.push_back(m.header.value);
    }
    EXPECT_EQ(answers, (std::vector<int32_t>{OK, OK, -EEXIST, OK}));
}

TEST_F(Fixture, TenThousandProxiesToTenHostsHoldTenChannels) {
    std::vector<std::unique_ptr<Process>> hosts;
    std::vector<String16> names;
    for (int h = 0; h < 10; ++h) {
        std::vector<std::string> args;
        for (int i = 0; i < 1000; ++i) {
            args.push_back("h" + std::to_string(h) + ".n" + std::to_string(i));
            names.push_back(String16(args.back().c_str()));
        }
        hosts.push_back(registry.startEcho(args));
        ASSERT_TRUE(hosts.back()) << h;
    }
    sp<RegistryClient> client = clientOf(registry);
    ASSERT_TRUE(client);
    int before = openDescriptors();
    std::vector<sp<IBinder>> proxies(names.size());
    size_t answered = 0;
    ASSERT_EQ(client->lookupServices(names.data(), names.size(), proxies.data(), &answered), OK);
    EXPECT_EQ(answered, names.size());
    EXPECT_EQ(std::count(proxies.begin(), proxies.end(), nullptr), 0);
    EXPECT_EQ(openDescriptors(), before + 10) << "one channel for each host";
    // Every proxy reaches its own object: its host answers with the code it was sent.
    Parcel reply;
    for (size_t i = 0; i < proxies.size(); i += 997) {
        ASSERT_EQ(proxies[i]->sendTransaction(static_cast<uint32_t>(i), Parcel(), &reply, 0), OK);
        EXPECT_EQ(bytesOf(reply), i32(static_cast<uint32_t>(i))) << i;
    }
    proxies.clear();
    // A channel whose socket does not refuse descriptors is closed off this thread (a host
    // may have left some unread in it), so the closes may come a moment later.
    EXPECT_TRUE(waitUntil([&] { return openDescriptors() == before; }, 10000))
        << "the channels went with their last proxies: " << openDescriptors() << " open, " << before
        << " before";
}

TEST_F(Fixture, TheWritingAServiceSampleWorks) {
    auto adder =
        Process::start({std::string(ZORLEK_SAMPLES_DIR) + "/zorlek-sample-adder"}, registry.env());
    ASSERT_TRUE(adder);
    ASSERT_TRUE(adder->waitForLine("ready", 10000)) << adder->errText();
    sp<IBinder> object = clientOf(registry)->lookupService(String16("sample.adder"));
    ASSERT_TRUE(object);
    status_t status;
    EXPECT_EQ(descriptorOf(object, &status), String16("sample.IAdder"));
    struct Case {
        const char* token;
        int32_t a, b;
        status_t status;
        int32_t sum;
    };
    const Case cases[] = {
        {"sample.IAdder", 40, 2, OK, 42},
        {"sample.IAdder", -5, 3, OK, -2},
        {"sample.IAdder", INT32_MAX, 1, -EOVERFLOW, 0},
        {"other.I", 1, 2, -EBADMSG, 0},
    };
    for (const Case& c : cases) {
        Parcel request, reply;
        request.writeInterfaceToken(String16(c.token));
        request.writeInt32(c.a);
        request.writeInt32(c.b);
        EXPECT_EQ(object->sendTransaction(1, request, &reply, 0), c.status) << c.a << "+" << c.b;
        int32_t sum = 0;
        if (c.status == OK) {
            ASSERT_EQ(reply.readInt32(&sum), OK);
            EXPECT_EQ(sum, c.sum);
        } else {
            EXPECT_EQ(reply.dataSize(), 0u);
        }
    }
    EXPECT_EQ(adder->stop(SIGTERM), 0);
}

}  // namespace
}  // namespace zorlek::test
