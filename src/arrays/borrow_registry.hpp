#pragma once
// The process-wide registry of read and write borrows of NumPy memory, shared
// with other extensions through the entry points of a BorrowApiRecord.
#include <Python.h>

#include <cstdint>
#include <unordered_map>

#include "arrays/view_key.hpp"

namespace corvalinth::arrays {

// Return codes of the acquire entry points.
inline constexpr int kBorrowOk = 0;
inline constexpr int kAlreadyBorrowed = -1;
inline constexpr int kNotWriteable = -2;

class BorrowRegistry {
public:
    // `ndarray` is NumPy's array type, used to walk base chains to the owner.
    explicit BorrowRegistry(PyTypeObject* ndarray) : ndarray_(ndarray) {}

    // 0, or -1 (AlreadyBorrowed). A refusal changes nothing.
    int acquire_read(PyObject* array);
    // 0, -1 (AlreadyBorrowed) or -2 (NotWriteable). A refusal changes nothing.
    int acquire_write(PyObject* array);
    // Releases of views that are not borrowed that way are ignored.
    void release_read(PyObject* array);
    void release_write(PyObject* array);

private:
    using ViewCounts = std::unordered_map<ViewKey, std::intptr_t, ViewKeyHash>;
    std::uintptr_t owner_of(PyObject* array) const;

    PyTypeObject* ndarray_;
    // Owner address -> borrowed views of that owner. A count of 0 is never
    // stored and an owner without views has no entry.
    std::unordered_map<std::uintptr_t, ViewCounts> owners_;
};

// The record published in the "_RUST_NUMPY_BORROW_CHECKING_API" capsule: an
// interchange format shared with other extensions (48 bytes, version 1).
extern "C" {
typedef int (*BorrowAcquireFn)(void* state, PyObject* array);
typedef void (*BorrowReleaseFn)(void* state, PyObject* array);
}

struct BorrowApiRecord {
    std::uint64_t version;
    void* state;
    BorrowAcquireFn acquire_read;
    BorrowAcquireFn acquire_write;
    BorrowReleaseFn release_read;
    BorrowReleaseFn release_write;
};
static_assert(sizeof(BorrowApiRecord) == 48);

// A version 1 record whose entry points drive `registry`. The entry points
// never throw: an allocation failure inside an acquire is a refusal (-1).
BorrowApiRecord make_borrow_api_record(BorrowRegistry* registry);

// The registry behind `record` when its entry points are this module's, else
// null. The module's own borrows go to it directly, so that memory
// exhaustion reaches them as std::bad_alloc (with nothing registered) rather
// than as a refusal.
BorrowRegistry* own_registry(const BorrowApiRecord& record);

}  // namespace corvalinth::arrays
