#pragma once
// What the passes of one fit keep from one pass to the next: the prepared
// centres and the working space of the ranges that label the samples.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "kmeans/assignment/centre_labeller.hpp"
#include "kmeans/assignment/filter_scratch.hpp"

namespace corvalinth::kmeans {

// One range's working space: the filter's tile buffers; for the carried
// bounds the list of a piece's unsettled rows, their copy and their results,
// and (narrow rows) each row's distance to its own centre; and a piece's
// labels before it is labelled. Nothing a range finds in it is read before
// the range has written it.
struct RangeSpace {
    FilterScratch scratch;
    std::vector<std::size_t> todo;
    std::vector<double> rows;
    std::vector<std::uint64_t> got;
    std::vector<double> got_lower;
    std::vector<double> own;
    std::vector<std::uint64_t> old;

    // Room for pieces of up to m rows of d features: false when the list of
    // unsettled rows, or the own distances (`own_needed`), cannot be had (the
    // range then labels every piece whole); the copy and its results are
    // left empty when they cannot be had (each piece with unsettled rows is
    // then labelled whole). Buffers only grow.
    bool make_room(std::size_t m, std::size_t d, bool own_needed);
    // Room in `old` for the labels of a piece of m rows before it is
    // labelled whole; false when it cannot be had.
    bool make_old_room(std::size_t m);
};

// The storage of a fit's passes: the labeller each pass prepares its centres
// in, and one range space for every thread that can label a range at once
// (the pool's workers and the calling thread). The range spaces are
// optional: with none left (or none allocated), a range uses one of its own.
class PassStorage {
public:
    PassStorage();

    CentreLabeller labeller;
    // The keep test's table of the centres (rows of up to 7 features).
    std::vector<double> keep_table;

    // A free range space, now reserved for the caller; null when none is free.
    RangeSpace* acquire();
    void release(RangeSpace* space);

    // How many samples the last pass scored against every centre (SIZE_MAX
    // before the first: all of them): what the next pass expects to score,
    // for the work it states.
    std::size_t last_scored = SIZE_MAX;

private:
    // A cache line or more each: a range writes its vectors' ends in its
    // slot all the time, and no other thread's slot may share those lines.
    struct alignas(64) Slot {
        RangeSpace space;
        std::atomic<bool> busy{false};
    };
    std::unique_ptr<Slot[]> slots_;
    std::size_t count_ = 0;
};

}  // namespace corvalinth::kmeans
