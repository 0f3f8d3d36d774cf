// SPDX-License-Identifier: Apache-2.0
// The baseline for whole runs of the tool: a C++ program that does nothing, compiled and
// linked with the tool's flags (a dynamic, position-independent program carrying its C++
// runtime).
int main() {
    return 0;
}
