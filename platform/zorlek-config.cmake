# SPDX-License-Identifier: Apache-2.0
# find_package(zorlek): the IPC library as the target zorlek::ipc, which brings the text
# library (zorlek::text), the include folder and C++20 with it; the interface generator as
# zorlek::idl, and zorlek_add_interface(TARGET FILE.zi), which runs it for a target.
include("${CMAKE_CURRENT_LIST_DIR}/zorlek-targets.cmake")
include("${CMAKE_CURRENT_LIST_DIR}/zorlek-interface.cmake")
