// SPDX-License-Identifier: Apache-2.0
// The in-memory registry that describe and invoke are tried against, and the rows of their
// tests: whole outputs, exit statuses, and exactly what was asked and sent.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tests/commands/fakes.h"

namespace zorlek::test {

// s.IAdder as its service describes it, and as describe prints it.
extern const std::u16string kAdder;
extern const std::string kAdderCanonical;
extern const Bytes kToken;
// s.IAdder as a service describes it that passes objects of s.IListener, described beside
// it, and as describe prints it.
extern const std::u16string kObjects;
extern const std::string kObjectsCanonical;

// A service of s.IAdder that describes itself as `description` and answers calls with
// `callReply`.
ObjectScript describing(std::u16string description, Bytes callReply = i32(42));

struct Row {
    std::vector<std::string> args;
    std::string out;
    std::string err;
    int32_t status;
    // Lookups and transactions, in order.
    std::vector<std::string> events;
    // The method's transaction, when one is sent (always the last).
    std::optional<Sent> sent;
};

// Runs `command` with each row's arguments against the registry of typed services, and
// checks all the row says.
void expectRows(const std::string& command, const std::vector<Row>& rows);

// The events of looking `name` up and asking it one query (by default the interface).
std::vector<std::string> asked(const std::string& name, const char* query = "5f494446");
// The events of looking `name` up, asking its interface and calling `code` (in hex).
std::vector<std::string> called(const std::string& name, const std::string& code);

// A description file in a folder of its own, removed at the end.
class DescriptionFile {
  public:
    explicit DescriptionFile(const std::string& text);
    ~DescriptionFile();
    const std::string& path() const { return path_; }

  private:
    std::string dir_;
    std::string path_;
};

}  // namespace zorlek::test
