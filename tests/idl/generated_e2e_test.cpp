// SPDX-License-Identifier: Apache-2.0
// The generated proxy against the test service of every type in a process of its own,
// through a real registry and host: every type at its edges, there and back.

#include <gtest/gtest.h>

#include "harness/harness.h"
#include "platform/ipc/registry_client.h"
#include "tests/idl/every_type_calls.h"

namespace zorlek::test {
namespace {

TEST(GeneratedCodeE2E, EveryTypeRoundTripsThroughARealHost) {
    Registry registry;
    ASSERT_TRUE(registry.ready());
    std::unique_ptr<Process> service =
        Process::start({binPath("../tests/zorlek-every-type"), "every"}, registry.env());
    ASSERT_TRUE(service && service->waitForLine("ready"));
    sp<ServiceManager> manager = RegistryClient::connect(registry.socketPath().c_str(), 10000);
    ASSERT_TRUE(manager);
    sp<IBinder> object;
    ASSERT_EQ(manager->lookup(String16("every"), &object), OK);
    EveryTypeProxy proxy(object);
    expectEveryTypeRoundTrips(proxy);
    // A string that fills most of a parcel, there and back.
    String16 large(std::u16string(kMaxParcelSize / 2 - 64, u'z'));
    String16 echoed;
    EXPECT_EQ(proxy.echoS16(large, &echoed), OK);
    EXPECT_TRUE(echoed == large);
}

}  // namespace
}  // namespace zorlek::test
