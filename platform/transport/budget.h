// SPDX-License-Identifier: Apache-2.0
// A party's share of memory: what its connections hold (answers it has not read, and
// requests read but not yet handled). While the share is spent, none of the party's
// connections is read, so a party that sends more than it reads waits alone; as soon as
// it reads enough, they are read again. A request too large for a connection's buffer
// begins only when the share has room for the whole of it beside what is held and the
// other such requests under way (one at a time whatever its size); once begun it is read
// to its end and handled, spent or not, as only that frees what it holds. A share may
// belong to a larger one that several parties draw on together (all users but root and the
// process's own): once that is spent, none of those parties' connections is read, and the
// others still are.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

namespace zorlek {

class Connection;

class Budget {
  public:
    // `limit` bytes, drawn also from `shared` when given.
    explicit Budget(size_t limit, std::shared_ptr<Budget> shared = nullptr)
        : limit_(limit), shared_(std::move(shared)) {}
    Budget(const Budget&) = delete;
    Budget& operator=(const Budget&) = delete;

    bool spent() const { return used_ >= limit_ || (shared_ && shared_->spent()); }

  private:
    friend class Connection;

    // Moves a connection's charge from `before` to `after` bytes. Returns the connections
    // that waited for this budget, or for the shared one, when what stopped them frees (the
    // caller wakes them). A waiter of this budget whose own share frees while the shared
    // one is still spent waits for the shared one from then on.
    std::vector<Connection*> recharge(size_t before, size_t after) {
        bool ownWasSpent = used_ >= limit_;
        std::vector<Connection*> freed;
        if (shared_) freed = shared_->recharge(before, after);
        used_ = used_ - before + after;
        if (!ownWasSpent || used_ >= limit_ || waiting_.empty()) return freed;
        if (shared_ && shared_->spent()) {
            for (Connection* connection : waiting_) shared_->add(connection);
        } else {
            freed.insert(freed.end(), waiting_.begin(), waiting_.end());
        }
        waiting_.clear();
        return freed;
    }
    // True when a request of `size` bytes too large for a connection's buffer may begin.
    bool mayBegin(size_t size) const {
        if (used_ >= limit_ || (underway_ > 0 && used_ + underway_ + size > limit_)) return false;
        return !shared_ || shared_->mayBegin(size);
    }
    // Counts a large request of `size` bytes that has begun.
    void begin(size_t size) {
        underway_ += size;
        if (shared_) shared_->begin(size);
    }
    // The large request of `size` bytes is done (handed out, or its connection ended).
    // Returns the connections that waited on this budget or the shared one, to be woken:
    // they look again.
    std::vector<Connection*> end(size_t size) {
        std::vector<Connection*> woken;
        if (shared_) woken = shared_->end(size);
        underway_ -= size;
        woken.insert(woken.end(), waiting_.begin(), waiting_.end());
        waiting_.clear();
        return woken;
    }
    // Has `connection` woken when a large request may begin again.
    void waitToBegin(Connection* connection) {
        add(connection);
        if (shared_) shared_->add(connection);
    }
    // Has `connection` woken when the budget that stops it frees.
    void wait(Connection* connection) {
        if (used_ >= limit_ || !shared_) return add(connection);
        shared_->add(connection);
    }
    void add(Connection* connection) {
        if (std::find(waiting_.begin(), waiting_.end(), connection) == waiting_.end()) {
            waiting_.push_back(connection);
        }
    }
    void forget(Connection* connection) {
        waiting_.erase(std::remove(waiting_.begin(), waiting_.end(), connection), waiting_.end());
        if (shared_) shared_->forget(connection);
    }

    size_t limit_;
    size_t used_ = 0;
    // The sizes of the large requests under way.
    size_t underway_ = 0;
    std::shared_ptr<Budget> shared_;
    std::vector<Connection*> waiting_;
};

}  // namespace zorlek
