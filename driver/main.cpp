// SPDX-License-Identifier: Apache-2.0
#include "driver/driver.h"
#include "platform/base/standard_descriptors.h"

int main(int argc, char** argv) {
    // Before the registry connection is made: it must never become standard output.
    zorlek::openStandardDescriptors();
    return zorlek::runTool(argc, argv);
}
