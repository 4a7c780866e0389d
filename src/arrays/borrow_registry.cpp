// Borrow bookkeeping of the shared registry and its foreign entry points.
#include "arrays/borrow_registry.hpp"

#include <limits>

#include "arrays/numpy_layout.hpp"

namespace corvalinth::arrays {

std::uintptr_t BorrowRegistry::owner_of(PyObject* array) const {
    return reinterpret_cast<std::uintptr_t>(base_owner(array, ndarray_));
}

// Both acquires insert only as their last step, and a failed insertion of
// the standard maps leaves them as they were, so std::bad_alloc from either
// leaves nothing registered.
int BorrowRegistry::acquire_read(PyObject* array) {
    const std::uintptr_t owner = owner_of(array);
    const ViewKey key = view_key(array);
    auto found = owners_.find(owner);
    if (found == owners_.end()) {
        ViewCounts views;
        views.emplace(key, 1);
        owners_.emplace(owner, std::move(views));
        return kBorrowOk;
    }
    ViewCounts& views = found->second;
    if (auto same = views.find(key); same != views.end()) {
        if (same->second < 0 || same->second == std::numeric_limits<std::intptr_t>::max()) return kAlreadyBorrowed;
        ++same->second;
        return kBorrowOk;
    }
    for (const auto& [other, count] : views) {
        if (count < 0 && views_conflict(key, other)) return kAlreadyBorrowed;
    }
    views.emplace(key, 1);
    return kBorrowOk;
}

int BorrowRegistry::acquire_write(PyObject* array) {
    if ((array_fields(array).flags & kNpyArrayWriteable) == 0) return kNotWriteable;
    const std::uintptr_t owner = owner_of(array);
    const ViewKey key = view_key(array);
    auto found = owners_.find(owner);
    if (found == owners_.end()) {
        ViewCounts views;
        views.emplace(key, -1);
        owners_.emplace(owner, std::move(views));
        return kBorrowOk;
    }
    ViewCounts& views = found->second;
    if (views.contains(key)) return kAlreadyBorrowed;
    for (const auto& [other, count] : views) {
        if (count != 0 && views_conflict(key, other)) return kAlreadyBorrowed;
    }
    views.emplace(key, -1);
    return kBorrowOk;
}

void BorrowRegistry::release_read(PyObject* array) {
    auto found = owners_.find(owner_of(array));
    if (found == owners_.end()) return;  // not borrowed: nothing to release
    ViewCounts& views = found->second;
    auto view = views.find(view_key(array));
    // Unknown views and write-borrowed views are left alone.
    if (view == views.end() || view->second <= 0) return;
    if (--view->second == 0) {
        views.erase(view);
        if (views.empty()) owners_.erase(found);
    }
}

void BorrowRegistry::release_write(PyObject* array) {
    auto found = owners_.find(owner_of(array));
    if (found == owners_.end()) return;
    ViewCounts& views = found->second;
    auto view = views.find(view_key(array));
    // Only a write borrow of exactly this view is released; anything else
    // would drop somebody else's borrow.
    if (view == views.end() || view->second >= 0) return;
    views.erase(view);
    if (views.empty()) owners_.erase(found);
}

namespace {

extern "C" {

// Called by other extensions through the record: nothing may unwind out of them.
static int entry_acquire_read(void* state, PyObject* array) noexcept {
    try {
        return static_cast<BorrowRegistry*>(state)->acquire_read(array);
    } catch (...) {
        return kAlreadyBorrowed;
    }
}

static int entry_acquire_write(void* state, PyObject* array) noexcept {
    try {
        return static_cast<BorrowRegistry*>(state)->acquire_write(array);
    } catch (...) {
        return kAlreadyBorrowed;
    }
}

static void entry_release_read(void* state, PyObject* array) noexcept {
    try {
        static_cast<BorrowRegistry*>(state)->release_read(array);
    } catch (...) {}
}

static void entry_release_write(void* state, PyObject* array) noexcept {
    try {
        static_cast<BorrowRegistry*>(state)->release_write(array);
    } catch (...) {}
}

}  // extern "C"

}  // namespace

BorrowApiRecord make_borrow_api_record(BorrowRegistry* registry) {
    return BorrowApiRecord{
        1, registry, entry_acquire_read, entry_acquire_write, entry_release_read, entry_release_write};
}

BorrowRegistry* own_registry(const BorrowApiRecord& record) {
    if (record.acquire_read != entry_acquire_read) return nullptr;
    return static_cast<BorrowRegistry*>(record.state);
}

}  // namespace corvalinth::arrays
