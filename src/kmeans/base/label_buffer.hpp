#pragma once
// An int32 label vector whose storage can be handed over to a foreign owner
// (the result array's base object) without a copy. Storage comes from
// std::malloc and is released with std::free; an empty buffer allocates
// nothing (capacity 0) but still has a non-null data pointer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>

namespace corvalinth::kmeans {

class LabelBuffer {
public:
    explicit LabelBuffer(std::size_t n) : length_(n), capacity_(n) {
        if (n == 0) {
            data_ = placeholder();
            return;
        }
        if (n > SIZE_MAX / sizeof(std::int32_t)) throw std::bad_alloc();
        data_ = static_cast<std::int32_t*>(std::malloc(n * sizeof(std::int32_t)));
        if (data_ == nullptr) throw std::bad_alloc();
    }
    LabelBuffer(LabelBuffer&& o) noexcept
        : data_(std::exchange(o.data_, placeholder())),
          length_(std::exchange(o.length_, 0)),
          capacity_(std::exchange(o.capacity_, 0)) {}
    LabelBuffer& operator=(LabelBuffer&& o) noexcept {
        if (this != &o) {
            release_storage(data_, capacity_);
            data_ = std::exchange(o.data_, placeholder());
            length_ = std::exchange(o.length_, 0);
            capacity_ = std::exchange(o.capacity_, 0);
        }
        return *this;
    }
    LabelBuffer(const LabelBuffer&) = delete;
    LabelBuffer& operator=(const LabelBuffer&) = delete;
    ~LabelBuffer() { release_storage(data_, capacity_); }

    std::int32_t* data() { return data_; }
    const std::int32_t* data() const { return data_; }
    std::size_t size() const { return length_; }
    std::size_t capacity() const { return capacity_; }
    std::int32_t operator[](std::size_t i) const { return data_[i]; }

    // Gives up ownership: the caller must later call release_storage(data, capacity).
    std::int32_t* release() {
        length_ = 0;
        capacity_ = 0;
        return std::exchange(data_, placeholder());
    }
    static void release_storage(std::int32_t* data, std::size_t capacity) {
        if (capacity != 0) std::free(data);
    }

private:
    static std::int32_t* placeholder() {
        alignas(std::int32_t) static std::int32_t dummy = 0;
        return &dummy;
    }
    std::int32_t* data_;
    std::size_t length_;
    std::size_t capacity_;
};

}  // namespace corvalinth::kmeans
