// The storage a fit's passes keep: the prepared centres and the ranges' working space, reserved slot by slot.
#include "kmeans/iteration/pass_storage.hpp"

#include <new>

#include "kmeans/testing/knobs.hpp"
#include "runtime/pool/worker_pool.hpp"

namespace corvalinth::kmeans {

bool RangeSpace::make_room(std::size_t m, std::size_t d, bool own_needed) {
    try {
        if (testing::failing_pass_space()) throw std::bad_alloc();
        if (own_needed && own.size() < m) own.resize(m);
        if (todo.size() < m) todo.resize(m);
    } catch (const std::bad_alloc&) {
        return false;
    }
    try {
        if (rows.size() < m * d) rows.resize(m * d);
        if (got.size() < m) got.resize(m);
        if (got_lower.size() < m) got_lower.resize(m);
    } catch (const std::bad_alloc&) {
        rows.clear();  // read as: no room for the copy
    }
    return true;
}

bool RangeSpace::make_old_room(std::size_t m) {
    try {
        if (testing::failing_pass_space()) throw std::bad_alloc();
        if (old.size() < m) old.resize(m);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

PassStorage::PassStorage() {
    const std::size_t count = runtime::pool_thread_count() + 1;
    slots_.reset(new (std::nothrow) Slot[count]);
    count_ = slots_ ? count : 0;
}

RangeSpace* PassStorage::acquire() {
    for (std::size_t i = 0; i < count_; ++i)
        if (!slots_[i].busy.load(std::memory_order_relaxed) &&
            !slots_[i].busy.exchange(true, std::memory_order_acquire))
            return &slots_[i].space;
    return nullptr;
}

void PassStorage::release(RangeSpace* space) {
    for (std::size_t i = 0; i < count_; ++i)
        if (&slots_[i].space == space) slots_[i].busy.store(false, std::memory_order_release);
}

}  // namespace corvalinth::kmeans
