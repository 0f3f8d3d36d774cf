// A party's share of memory: what its connections hold (answers it has not read, and
// requests read but not yet handled). While the share is spent, none of the party's
// connections is read, so a party that sends more than it reads waits alone; as soon as
// it reads enough, they are read again.
#pragma once

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

namespace zorlek {

class Connection;

class Budget {
  public:
    explicit Budget(size_t limit) : limit_(limit) {}
    Budget(const Budget&) = delete;
    Budget& operator=(const Budget&) = delete;

    bool spent() const { return used_ >= limit_; }

  private:
    friend class Connection;

    // Moves a connection's charge from `before` to `after` bytes. Returns the connections
    // that waited for the budget when this frees it (the caller wakes them).
    std::vector<Connection*> recharge(size_t before, size_t after) {
        bool wasSpent = spent();
        used_ = used_ - before + after;
        if (!wasSpent || spent()) return {};
        return std::exchange(waiting_, {});
    }
    void wait(Connection* connection) {
        if (std::find(waiting_.begin(), waiting_.end(), connection) == waiting_.end()) {
            waiting_.push_back(connection);
        }
    }
    void forget(Connection* connection) {
        waiting_.erase(std::remove(waiting_.begin(), waiting_.end(), connection), waiting_.end());
    }

    size_t limit_;
    size_t used_ = 0;
    std::vector<Connection*> waiting_;
};

}  // namespace zorlek
