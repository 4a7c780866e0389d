// The centre update of a Lloyd iteration, split over the worker pool by ownership.
#include "kmeans/iteration/centre_sums.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "kmeans/base/buffers.hpp"
#include "kmeans/base/engine_error.hpp"
#include "kmeans/base/row_copy.hpp"
#include "kmeans/kernels/kernel_table.hpp"
#include "kmeans/testing/knobs.hpp"
#include "runtime/internal_failure.hpp"
#include "runtime/pool/worker_pool.hpp"

namespace corvalinth::kmeans {
namespace {

// Below this many coordinates the pool's hand-off costs more than the sums.
constexpr std::size_t kUpdatePoolMinValues = std::size_t{1} << 16;
// Doubles per cache line.
constexpr std::size_t kLineDoubles = 64 / sizeof(double);
// Rows of 2 features up to this width are split by whole features, one block
// per worker; wider ones by features in whole cache lines (16 or more per
// block), rows of adjacent features only while narrower than
// kAdjacentSplitBelow, and from there on by clusters.
constexpr std::size_t kSplitFeaturesFrom = 32;
constexpr std::size_t kAdjacentSplitBelow = 64;
// Rows of up to 8 features are added a run of equal labels at a time when a
// change of label comes less often than once per kRunLengthFrom samples
// (measured: docs/tuning.md, "Rows of up to 8 features"), judged from
// kProbeWindows windows of kProbeWindow labels.
constexpr std::size_t kRunsMaxWidth = 8;
constexpr std::size_t kRunLengthFrom = 8;
// Ranges of up to kShortRangeRunsMax samples, a tiny fit's, already from one
// change per kShortRangeRunLengthFrom samples: a fit adds the same short
// sequence of labels at every iteration, and the branch predictor learns
// where its runs end (measured: docs/tuning.md, "The current cluster's sums
// carried in a register").
constexpr std::size_t kShortRangeRunsMax = 4096;
constexpr std::size_t kShortRangeRunLengthFrom = 3;
// Where every block fits the carried sums, longer ranges take the runs kernel
// only from one change per kCarriedRunLengthFrom samples.
constexpr std::size_t kCarriedRunLengthFrom = 16;
// Below that (and beside the carried sums: first when at most
// kCheapRegisterVectors vectors take each sample), the sums are held in
// registers where they fit when a change of
// label comes less often than once per kRegistersRunFrom samples (measured:
// docs/tuning.md, "The update's sums in registers"); where they do not fit,
// the current cluster's sums are carried in a register when a change comes
// less often than once per kCarriedRunFrom samples (measured: docs/tuning.md,
// "The current cluster's sums carried in a register").
constexpr std::size_t kRegistersRunFrom = 2;
constexpr std::size_t kCarriedRunFrom = 3;
constexpr std::size_t kCheapRegisterVectors = 2;
// ... and only blocks of at least this many features (a block of one feature
// adds a single value per sample, which the plain kernel does as fast).
constexpr std::size_t kRegistersMinWidth = 2;
constexpr std::size_t kProbeWindows = 8;
constexpr std::size_t kProbeWindow = 64;
// Ranges of up to kProbeWindows * kProbeWindow samples: kShortProbeWindows
// windows of kShortProbeWindow labels (probing every label of a tiny fit's
// range cost a tenth of its iteration), the whole range when no longer.
constexpr std::size_t kShortProbeWindows = 4;
constexpr std::size_t kShortProbeWindow = 16;
// Rows of up to 8 features, dense in memory, have the labels and features of
// the samples kPrefetchAhead samples on prefetched, kPrefetchGroup samples
// (a cache line of labels) at a time (measured: docs/tuning.md, "The narrow
// update's prefetch").
constexpr std::size_t kPrefetchAhead = 128;
constexpr std::size_t kPrefetchGroup = 8;
// The masked sums fetch the row of a flagged sample this many flagged
// samples ahead.
constexpr std::size_t kMaskedAhead = 8;

// Prefetches, as the scan of [begin, end) reaches each group of
// kPrefetchGroup samples, the labels and the D features (from j_lo) of the
// group kPrefetchAhead samples further on, while that group lies before end.
// Only when the samples are dense: rows of adjacent features back to back
// (each group as many cache lines as a row has features, of which the block
// reads D) or columns of adjacent samples (one line per feature); other views
// are left to the hardware. A prefetch reads nothing into the arithmetic:
// only the speed depends on it.
template <std::size_t D, bool Unit>
class Prefetcher {
public:
    Prefetcher(const SampleMatrix& x, const std::uint64_t* labels, std::size_t j_lo, std::size_t begin, std::size_t end)
        : x_(x), labels_(labels), j_lo_(j_lo), end_(end) {
        const bool dense = Unit ? x.row_stride == static_cast<std::ptrdiff_t>(x.n_cols) && x.n_cols <= kRunsMaxWidth
                                : x.row_stride == 1;
        lines_ = Unit ? x.n_cols : D;
        next_ = dense && end - begin >= kPrefetchAhead + kPrefetchGroup ? begin : kNever;
    }

    // Sample i is about to be added (i increasing by one from begin).
    void at(std::size_t i) {
        if (due(i)) issue();
    }
    // Whether sample i starts the next group to prefetch for (then issue()
    // before adding it).
    bool due(std::size_t i) const { return i == next_; }
    void issue() {
        const std::size_t s = next_ + kPrefetchAhead;
        __builtin_prefetch(labels_ + s);
        const double* r = Unit ? x_.row(s) : x_.row(s) + static_cast<std::ptrdiff_t>(j_lo_) * x_.col_stride;
        for (std::size_t m = 0; m < lines_; ++m)
            __builtin_prefetch(Unit ? r + m * kPrefetchGroup : r + static_cast<std::ptrdiff_t>(m) * x_.col_stride);
        next_ = s + 2 * kPrefetchGroup <= end_ ? next_ + kPrefetchGroup : kNever;
    }

private:
    static constexpr std::size_t kNever = ~std::size_t{0};

    const SampleMatrix& x_;
    const std::uint64_t* labels_;
    std::size_t j_lo_, end_, next_, lines_;
};

// Registers: the sums in registers where they fit, else the plain kernel;
// Carried: the sums in registers where they fit in kCheapRegisterVectors
// vectors, else the current cluster's sums carried in a register where they
// fit, else the sums in registers where they fit, else the plain kernel.
enum class NarrowKernel { Plain, Registers, Carried, Runs };

// Two doubles, one SSE2 addition (baseline on x86-64; elsewhere what the
// compiler makes of a pair).
typedef double DoublePair __attribute__((vector_size(16)));

// sum[j] = sum[j] + r[j * cs] for the w features j < w of a row (w = D when
// D, the width fixed at compile time, is not 0; Unit: cs = 1). Adjacent
// features of a fixed width go two to a pair addition while two are left:
// each lane does the one IEEE addition the scalar loop gives its sum, of the
// same operands (the floating-point mode applies to both alike), so the bits
// are the same; the additions to different sums are independent, so their
// grouping changes nothing.
template <std::size_t D, bool Unit>
inline void add_row(double* __restrict sum, const double* __restrict r, std::ptrdiff_t cs, std::size_t w) {
    if constexpr (D != 0 && Unit) {
        std::size_t j = 0;
        for (; j + 2 <= D; j += 2) {
            DoublePair a, b;
            std::memcpy(&a, sum + j, sizeof a);
            std::memcpy(&b, r + j, sizeof b);
            a = a + b;
            std::memcpy(sum + j, &a, sizeof a);
        }
        if constexpr (D % 2 != 0) sum[D - 1] = sum[D - 1] + r[D - 1];
    } else if constexpr (D != 0) {
        // Strided features: every load before the stores.
        double v[D];
        for (std::size_t j = 0; j < D; ++j) v[j] = r[static_cast<std::ptrdiff_t>(j) * cs];
        for (std::size_t j = 0; j < D; ++j) sum[j] = sum[j] + v[j];
    } else {
        for (std::size_t j = 0; j < w; ++j) sum[j] = sum[j] + r[static_cast<std::ptrdiff_t>(j) * cs];
    }
}

// Scans samples [begin, end) in order and adds features [j_lo, j_lo + w) of
// each sample into its cluster's sum row: sums[c * stride + j - j_lo], and
// counts[c] when `counts` is set. D is the width when fixed at compile time
// (0: run time); Unit says features are adjacent. Each sum is its own chain,
// added to in sample order only, so the result does not depend on how the
// sums are split into blocks.
template <std::size_t D, bool Unit>
void accumulate_block(const SampleMatrix& x, const std::uint64_t* labels, std::size_t k, double* sums,
                      std::size_t stride, std::uint64_t* counts, std::size_t j_lo, std::size_t width, std::size_t begin,
                      std::size_t end) {
    const std::size_t w = D != 0 ? D : width;
    const std::ptrdiff_t rs = x.row_stride;
    const std::ptrdiff_t cs = Unit ? 1 : x.col_stride;
    const double* row = x.row(begin) + static_cast<std::ptrdiff_t>(j_lo) * cs;
    auto add = [&](std::size_t i) {
        const std::uint64_t c = labels[i];
        if (c >= k) label_out_of_range();
        add_row<D, Unit>(sums + c * stride, row, cs, w);
        if (counts != nullptr) counts[c] += 1;
        row += rs;
    };
    std::size_t i = begin;
    if constexpr (D != 0 && D <= kRunsMaxWidth) {
        // Whole groups while a group further on is there to prefetch; the
        // samples are added in the same order either way.
        Prefetcher<D, Unit> prefetch(x, labels, j_lo, begin, end);
        for (; prefetch.due(i); i += kPrefetchGroup) {
            prefetch.issue();
            for (std::size_t t = 0; t < kPrefetchGroup; ++t) add(i + t);
        }
    }
    for (; i < end; ++i) add(i);
}

// The same sums for the samples whose cluster is flagged in `only` alone
// (the others' sums and counts are left alone): a chunk of labels at a time,
// the flagged samples listed first (no branch on which they are), then
// added in sample order, each row fetched kMaskedAhead listed rows ahead
// (they are scattered: the hardware prefetcher does not see them coming).
// Every sum gets the additions accumulate_block would give it, in the same
// order.
template <std::size_t D, bool Unit>
void accumulate_masked(const SampleMatrix& x, const std::uint64_t* labels, std::size_t k, double* sums,
                       std::size_t stride, std::uint64_t* counts, std::size_t j_lo, std::size_t width,
                       std::size_t begin, std::size_t end, const std::uint8_t* only) {
    const std::size_t w = D != 0 ? D : width;
    const std::ptrdiff_t cs = Unit ? 1 : x.col_stride;
    constexpr std::size_t kChunk = 256;
    std::size_t list[kChunk];
    for (std::size_t c0 = begin; c0 < end; c0 += kChunk) {
        const std::size_t c1 = std::min(end, c0 + kChunk);
        std::size_t m = 0;
        for (std::size_t i = c0; i < c1; ++i) {
            if (labels[i] >= k) label_out_of_range();
            list[m] = i;
            m += only[labels[i]] != 0 ? 1 : 0;
        }
        for (std::size_t t = 0; t < m; ++t) {
            if (Unit && t + kMaskedAhead < m) {
                const double* ahead = x.row(list[t + kMaskedAhead]) + j_lo;
                __builtin_prefetch(ahead);
                __builtin_prefetch(ahead + w - 1);
            }
            const std::size_t i = list[t];
            const std::uint64_t c = labels[i];
            const double* __restrict r = x.row(i) + static_cast<std::ptrdiff_t>(j_lo) * cs;
            add_row<D, Unit>(sums + c * stride, r, cs, w);
            if (counts != nullptr) counts[c] += 1;
        }
    }
}

// The listed masked sums (CentreSums::add_listed) hold a flagged sample as
// its offset from the start of the call's range (the low 32 bits) and its
// cluster (the high 32 bits); both must be below kListedLimit. They list the
// samples of calls of at least kListedMaskedFrom samples (measured:
// docs/tuning.md, "The flagged clusters' samples listed once").
constexpr std::size_t kListedLimit = std::size_t{1} << 32;
constexpr std::size_t kListedMaskedFrom = std::size_t{1} << 14;

// Lists the samples of [lo, hi) whose cluster is flagged in `only`, in sample
// order, offsets from `base`, into `list` (room for hi - lo entries, no
// branch on which samples are listed), and counts each listed sample into
// counts[c]; every label is checked. Returns how many are listed.
std::size_t list_flagged(const std::uint64_t* labels, std::size_t k, const std::uint8_t* only, std::size_t base,
                         std::size_t lo, std::size_t hi, std::uint64_t* list, std::uint64_t* counts) {
    std::size_t m = 0;
    for (std::size_t i = lo; i < hi; ++i) {
        const std::uint64_t c = labels[i];
        if (c >= k) label_out_of_range();
        list[m] = c << 32 | (i - base);
        m += only[c] != 0 ? 1 : 0;
    }
    for (std::size_t t = 0; t < m; ++t) counts[list[t] >> 32] += 1;
    return m;
}

// Adds features [j_lo, j_lo + width) (adjacent) of the m listed samples, in
// list order, into their clusters' sum rows sums[c * stride ..], each row
// fetched kMaskedAhead listed rows ahead: the additions accumulate_masked
// gives each sum, in the same order, when the lists are walked in sample
// order. D is the width when fixed at compile time (0: run time).
template <std::size_t D>
void add_listed_rows(const SampleMatrix& x, std::size_t base, const std::uint64_t* list, std::size_t m, double* sums,
                     std::size_t stride, std::size_t j_lo, std::size_t width) {
    const std::size_t w = D != 0 ? D : width;
    auto row = [&](std::uint64_t entry) { return x.row(base + (entry & (kListedLimit - 1))) + j_lo; };
    for (std::size_t t = 0; t < m; ++t) {
        if (t + kMaskedAhead < m) {
            const double* ahead = row(list[t + kMaskedAhead]);
            for (std::size_t j = 0; j < w; j += kLineDoubles) __builtin_prefetch(ahead + j);
            __builtin_prefetch(ahead + w - 1);
        }
        const double* __restrict r = row(list[t]);
        add_row<D, true>(sums + (list[t] >> 32) * stride, r, 1, w);
    }
}

void add_listed_width(const SampleMatrix& x, std::size_t base, const std::uint64_t* list, std::size_t m, double* sums,
                      std::size_t stride, std::size_t j_lo, std::size_t width) {
    switch (width) {
        case 1: return add_listed_rows<1>(x, base, list, m, sums, stride, j_lo, width);
        case 2: return add_listed_rows<2>(x, base, list, m, sums, stride, j_lo, width);
        case 4: return add_listed_rows<4>(x, base, list, m, sums, stride, j_lo, width);
        case 8: return add_listed_rows<8>(x, base, list, m, sums, stride, j_lo, width);
        case 16: return add_listed_rows<16>(x, base, list, m, sums, stride, j_lo, width);
        default: return add_listed_rows<0>(x, base, list, m, sums, stride, j_lo, width);
    }
}

// The same sums, a run of equal consecutive labels at a time: the run's
// cluster row is loaded once, each sample of the run added to it in registers
// in sample order, and the row stored back; the count grows by the run's
// length. Every sum gets the same additions, of the same operands, in the same
// order as in accumulate_block: the row loaded at the start of a run holds
// the value after all earlier samples of its cluster (each lies in an earlier
// run, whose row was stored back before this run began, and no other run
// touches it in between), a double survives the load and the store exactly,
// and within the run the register takes the place of the memory cell
// addition for addition. Counts are integer sums of run lengths, exact in any
// grouping. So both kernels give the same bits, whichever is chosen (even
// with subnormals flushed: the same operations see the same operands). It
// pays when labels repeat (pixels of one region in raster order): a plain
// add to a row just written waits for the store to be forwarded to the load
// (several times the latency of the addition), while here consecutive
// additions to one row meet in a register.
template <std::size_t D, bool Unit>
void accumulate_runs(const SampleMatrix& x, const std::uint64_t* labels, std::size_t k, double* sums,
                     std::size_t stride, std::uint64_t* counts, std::size_t j_lo, std::size_t begin, std::size_t end) {
    static_assert(D != 0);
    const std::ptrdiff_t rs = x.row_stride;
    const std::ptrdiff_t cs = Unit ? 1 : x.col_stride;
    const double* row = x.row(begin) + static_cast<std::ptrdiff_t>(j_lo) * cs;
    Prefetcher<D, Unit> prefetch(x, labels, j_lo, begin, end);
    std::size_t i = begin;
    while (i < end) {
        const std::uint64_t c = labels[i];
        if (c >= k) label_out_of_range();
        double* __restrict sum = sums + c * stride;
        double acc[D];
        for (std::size_t j = 0; j < D; ++j) acc[j] = sum[j];
        const std::size_t first = i;
        do {
            prefetch.at(i);
            add_row<D, Unit>(acc, row, cs, D);
            ++i;
            row += rs;
        } while (i < end && labels[i] == c);
        for (std::size_t j = 0; j < D; ++j) sum[j] = acc[j];
        if (counts != nullptr) counts[c] += i - first;
    }
}

// The kernel for rows of up to 8 features, from how often the labels of
// [begin, end) repeat, counted on up to kProbeWindows windows of
// kProbeWindow labels spread over the range (kShortProbeWindows windows of
// kShortProbeWindow labels when it is short, every label when shorter):
// fewer than one change of label per kRunLengthFrom samples (per
// kCarriedRunLengthFrom when `carried`: every block fits the carried sums; on
// ranges of up to kShortRangeRunsMax samples, per kShortRangeRunLengthFrom), a run at a
// time (accumulate_runs); else fewer than one per kCarriedRunFrom, the
// current cluster's sums carried in a register (accumulate_carried), else in
// registers where they fit (accumulate_in_registers); else fewer than one per
// kRegistersRunFrom, the sums in registers where they fit; else one sample at
// a time. Only the speed depends on the answer.
NarrowKernel narrow_kernel(const std::uint64_t* labels, std::size_t begin, std::size_t end, bool carried) {
    const std::size_t m = end - begin;
    switch (testing::update_kernel()) {
        case testing::UpdateKernel::Plain: return NarrowKernel::Plain;
        case testing::UpdateKernel::Registers: return NarrowKernel::Registers;
        case testing::UpdateKernel::Carried: return NarrowKernel::Carried;
        case testing::UpdateKernel::Runs: return m < 2 ? NarrowKernel::Plain : NarrowKernel::Runs;
        case testing::UpdateKernel::Automatic: break;
    }
    if (m < 2) return NarrowKernel::Plain;
    std::size_t windows = 1;
    std::size_t length = m;
    if (m > kProbeWindows * kProbeWindow) {
        windows = kProbeWindows;
        length = kProbeWindow;
    } else if (m > kShortProbeWindows * kShortProbeWindow) {
        windows = kShortProbeWindows;
        length = kShortProbeWindow;
    }
    std::size_t changes = 0;
    for (std::size_t w = 0; w < windows; ++w) {
        const std::size_t start = windows == 1 ? begin : begin + (m - length) / (windows - 1) * w;
        for (std::size_t i = start + 1; i < start + length; ++i) changes += labels[i] != labels[i - 1];
    }
    const std::size_t pairs = windows * (length - 1);
    if (changes * (carried ? kCarriedRunLengthFrom : kRunLengthFrom) < pairs) return NarrowKernel::Runs;
    if (m <= kShortRangeRunsMax && changes * kShortRangeRunLengthFrom < pairs) return NarrowKernel::Runs;
    if (changes * kCarriedRunFrom < pairs) return NarrowKernel::Carried;
    if (changes * kRegistersRunFrom < pairs) return NarrowKernel::Registers;
    return NarrowKernel::Plain;
}

template <bool Unit, bool Masked>
void accumulate_width(const SampleMatrix& x, const std::uint64_t* labels, std::size_t k, double* sums,
                      std::size_t stride, std::uint64_t* counts, std::size_t j_lo, std::size_t width, std::size_t begin,
                      std::size_t end, const std::uint8_t* only) {
    auto block = [&]<std::size_t D>() {
        if constexpr (Masked)
            accumulate_masked<D, Unit>(x, labels, k, sums, stride, counts, j_lo, width, begin, end, only);
        else
            accumulate_block<D, Unit>(x, labels, k, sums, stride, counts, j_lo, width, begin, end);
    };
    switch (width) {
        case 1: return block.template operator()<1>();
        case 2: return block.template operator()<2>();
        case 3: return block.template operator()<3>();
        case 4: return block.template operator()<4>();
        case 5: return block.template operator()<5>();
        case 6: return block.template operator()<6>();
        case 7: return block.template operator()<7>();
        case 8: return block.template operator()<8>();
        case 16: return block.template operator()<16>();
        default: return block.template operator()<0>();
    }
}

// Samples [begin, end) whose labels fall in [c_lo, c_hi) (and are flagged in
// `only`, when given), features [j_lo, j_lo + width) of each (adjacent), added
// in sample order into sums[c * stride + j - j_lo] and counts[c] (when set), a
// vector of features at a time (kernels/generic/row_sums.hpp): the same
// addition per sum, in the same order, as accumulate_block's. While one row is
// added, the next one that adds is fetched a cache line per cache line added:
// the hardware prefetcher loses the stream where rows are skipped.
void accumulate_by_vectors(const SampleMatrix& x, const std::uint64_t* labels, std::size_t k, std::size_t c_lo,
                           std::size_t c_hi, const std::uint8_t* only, double* sums, std::size_t stride,
                           std::uint64_t* counts, std::size_t j_lo, std::size_t width, std::size_t begin,
                           std::size_t end) {
    const kernels::SampleView view{x.data + static_cast<std::ptrdiff_t>(j_lo), x.row_stride, 1};
    if (kernels::selected_kernels().row_sums(view, begin, end, width, labels, k, c_lo, c_hi, only, sums, stride,
                                             counts) != end - begin)
        label_out_of_range();
}

// The sums held in registers (kernels/generic/register_sums.hpp) where the
// selected kernels have them, k clusters of `width` features fit them
// (adjacent features only, the sums k x width) and the block is wide enough
// to gain (any width when tests force the kernel): returns whether it added
// the samples. The same additions as accumulate_block's, in the same order.
bool accumulate_in_registers(const SampleMatrix& x, const std::uint64_t* labels, std::size_t k, double* sums,
                             std::size_t stride, std::uint64_t* counts, std::size_t j_lo, std::size_t width,
                             std::size_t begin, std::size_t end, bool cheap_only) {
    if (stride != width) return false;
    const kernels::KernelTable& table = kernels::selected_kernels();
    const bool automatic = testing::update_kernel() == testing::UpdateKernel::Automatic;
    if (testing::update_kernel() == testing::UpdateKernel::Carried) return false;
    if (!kernels::register_sums_fits(table.register_sums_lanes, width, k)) return false;
    const bool cheap =
        kernels::register_sums_vectors(table.register_sums_lanes, width, k, counts != nullptr) <= kCheapRegisterVectors;
    if (cheap_only && !cheap) return false;
    if (width < kRegistersMinWidth && automatic && !cheap) return false;
    const kernels::SampleView view{x.data + static_cast<std::ptrdiff_t>(j_lo), x.row_stride, 1};
    if (table.register_sums(view, begin, end, width, labels, k, sums, counts) != end - begin) label_out_of_range();
    return true;
}

// The current cluster's sums carried in a register
// (kernels/generic/carried_sums.hpp) where the selected kernels have them and
// k clusters of `width` features fit them (adjacent features only, the sums
// k x width): returns whether it added the samples. The same additions as
// accumulate_block's, in the same order.
bool accumulate_carried(const SampleMatrix& x, const std::uint64_t* labels, std::size_t k, double* sums,
                        std::size_t stride, std::uint64_t* counts, std::size_t j_lo, std::size_t width,
                        std::size_t begin, std::size_t end) {
    if (stride != width) return false;
    const kernels::KernelTable& table = kernels::selected_kernels();
    if (!kernels::carried_sums_fits(table.carried_sums_lanes, width, k) ||
        end - begin >= kernels::kCarriedSumsMaxSamples)
        return false;
    const kernels::SampleView view{x.data + static_cast<std::ptrdiff_t>(j_lo), x.row_stride, 1};
    if (table.carried_sums(view, begin, end, width, labels, k, 0, k, sums, counts) != end - begin) label_out_of_range();
    return true;
}

// With `only`, the flagged clusters' samples alone (accumulate_masked).
template <bool Unit>
void accumulate_any_width(const SampleMatrix& x, const std::uint64_t* labels, std::size_t k, double* sums,
                          std::size_t stride, std::uint64_t* counts, std::size_t j_lo, std::size_t width,
                          std::size_t begin, std::size_t end, NarrowKernel kernel, const std::uint8_t* only) {
    if (only != nullptr)
        return accumulate_width<Unit, true>(x, labels, k, sums, stride, counts, j_lo, width, begin, end, only);
    if (Unit && kernel == NarrowKernel::Carried &&
        (accumulate_in_registers(x, labels, k, sums, stride, counts, j_lo, width, begin, end, true) ||
         accumulate_carried(x, labels, k, sums, stride, counts, j_lo, width, begin, end)))
        return;
    if (Unit && (kernel == NarrowKernel::Registers || kernel == NarrowKernel::Carried) &&
        accumulate_in_registers(x, labels, k, sums, stride, counts, j_lo, width, begin, end, false))
        return;
    if (kernel == NarrowKernel::Runs) {
        switch (width) {
            case 1: return accumulate_runs<1, Unit>(x, labels, k, sums, stride, counts, j_lo, begin, end);
            case 2: return accumulate_runs<2, Unit>(x, labels, k, sums, stride, counts, j_lo, begin, end);
            case 3: return accumulate_runs<3, Unit>(x, labels, k, sums, stride, counts, j_lo, begin, end);
            case 4: return accumulate_runs<4, Unit>(x, labels, k, sums, stride, counts, j_lo, begin, end);
            case 5: return accumulate_runs<5, Unit>(x, labels, k, sums, stride, counts, j_lo, begin, end);
            case 6: return accumulate_runs<6, Unit>(x, labels, k, sums, stride, counts, j_lo, begin, end);
            case 7: return accumulate_runs<7, Unit>(x, labels, k, sums, stride, counts, j_lo, begin, end);
            case 8: return accumulate_runs<8, Unit>(x, labels, k, sums, stride, counts, j_lo, begin, end);
            default: break;  // wider rows: the plain kernel
        }
    }
    // Rows wider than the narrow kernels: a vector of features at a time.
    if (Unit && width > kRunsMaxWidth)
        return accumulate_by_vectors(x, labels, k, 0, k, nullptr, sums, stride, counts, j_lo, width, begin, end);
    accumulate_width<Unit, false>(x, labels, k, sums, stride, counts, j_lo, width, begin, end, nullptr);
}

void accumulate(const SampleMatrix& x, const std::uint64_t* labels, std::size_t k, double* sums, std::uint64_t* counts,
                std::size_t j_lo, std::size_t j_hi, std::size_t begin, std::size_t end, NarrowKernel kernel,
                const std::uint8_t* only) {
    if (j_lo == j_hi) {
        // No features (d = 0): counts only.
        for (std::size_t i = begin; i < end; ++i) {
            if (labels[i] >= k) label_out_of_range();
            if (counts != nullptr && (only == nullptr || only[labels[i]] != 0)) counts[labels[i]] += 1;
        }
    } else if (x.col_stride == 1) {
        accumulate_any_width<true>(x, labels, k, sums, j_hi - j_lo, counts, j_lo, j_hi - j_lo, begin, end, kernel,
                                   only);
    } else {
        accumulate_any_width<false>(x, labels, k, sums, j_hi - j_lo, counts, j_lo, j_hi - j_lo, begin, end, kernel,
                                    only);
    }
}

// A block of features (features [j_lo, j_hi)) of rows [begin, end) into its
// sums, and into `counts` the counts of its share of those rows: the p-th of
// `parts` consecutive stretches (none when p is not below parts). Every block
// scans every row for its features, and counting all of them in one block
// would keep the others waiting for it. The sums see the rows in order
// however the range is cut.
void accumulate_share(const SampleMatrix& x, const std::uint64_t* labels, std::size_t k, double* sums,
                      std::uint64_t* counts, std::size_t j_lo, std::size_t j_hi, std::size_t begin, std::size_t end,
                      NarrowKernel kernel, const std::uint8_t* only, std::size_t p, std::size_t parts) {
    if (p >= parts) return accumulate(x, labels, k, sums, nullptr, j_lo, j_hi, begin, end, kernel, only);
    const std::size_t m = end - begin;
    const std::size_t lo = begin + m / parts * p + std::min(p, m % parts);
    const std::size_t hi = lo + m / parts + (p < m % parts ? 1 : 0);
    if (begin < lo) accumulate(x, labels, k, sums, nullptr, j_lo, j_hi, begin, lo, kernel, only);
    if (lo < hi) accumulate(x, labels, k, sums, counts, j_lo, j_hi, lo, hi, kernel, only);
    if (hi < end) accumulate(x, labels, k, sums, nullptr, j_lo, j_hi, hi, end, kernel, only);
}

// Contiguous ranges of the k clusters holding about the same sum of
// counts[c] each, none empty, at most min(parts, 64) of them (the last takes
// the rest): range p is [bounds[p], bounds[p + 1]); returns how many.
// bounds needs room for 65 entries.
std::size_t split_clusters(const std::uint64_t* counts, std::size_t k, std::size_t parts, std::size_t* bounds) {
    std::size_t count = 0;
    for (std::size_t c = 0; c < k; ++c) count += counts[c];
    std::size_t n = 0;
    std::size_t c = 0;
    std::size_t seen = 0;
    bounds[0] = 0;
    for (std::size_t p = 1; p <= parts && p <= 64 && c < k; ++p) {
        const std::size_t lo = c;
        const bool last = p == parts || p == 64;
        const std::size_t goal = count / parts * p;
        while (c < k && (last || seen < goal || c == lo)) seen += counts[c++];
        bounds[++n] = c;
    }
    return n;
}

}  // namespace

// How the sums are shared out (measured: docs/tuning.md): one block per
// worker, each owning a range of features (whole cache lines of a row each),
// when that can pay; else one block; wide rows of adjacent features by
// clusters.
//  - features not adjacent in a row (column-major views): each worker
//    streams only its own columns;
//  - adjacent features, 32 to 63 per row: split by features;
//  - adjacent features, 64 or more per row: split by clusters (each worker
//    reads only its own clusters' rows), since split by features the
//    hardware prefetcher pulls the other half of every row too;
//  - rows of 2 to 31 features, adjacent or not: split by whole features,
//    min(workers, d) blocks (one core streams the samples slower than two,
//    and the blocks keep the kernel of runs); split by clusters instead,
//    every worker would scan every sample and mispredict the branch that
//    skips the others' labels.
CentreSums::CentreSums(const SampleMatrix& x, std::size_t k) : x_(x), k_(k) {
    const std::size_t n = x.n_rows;
    const std::size_t d = x.n_cols;
    const bool adjacent = x.col_stride == 1;
    const std::size_t workers = runtime::pool_thread_count();
    const bool big = d != 0 && n >= kUpdatePoolMinValues / d;
    by_clusters_ = big && adjacent && d >= kAdjacentSplitBelow && k >= 2 && workers >= 2;
    const bool by_features =
        !by_clusters_ && big && k != 0 && workers >= 2 && d >= 2 && !(adjacent && d >= kAdjacentSplitBelow);
    if (by_features && d < kSplitFeaturesFrom) {
        const std::size_t parts = std::min(workers, d);
        for (std::size_t p = 0; p < parts; ++p) blocks_.push_back(Block{d * p / parts, d * (p + 1) / parts});
    } else if (by_features && d / 16 >= 2) {
        const std::size_t parts = std::min(workers, d / 16);
        for (std::size_t p = 0; p < parts; ++p) {
            const std::size_t lo = p == 0 ? 0 : (d * p / parts) / 8 * 8;
            const std::size_t hi = p + 1 == parts ? d : (d * (p + 1) / parts) / 8 * 8;
            blocks_.push_back(Block{lo, hi});
        }
    } else {
        blocks_.push_back(Block{0, d});
    }
    // Split by features: each block's sums on cache lines of their own (a
    // shared line would travel between the cores at nearly every sample).
    const std::size_t pad = blocks_.size() > 1 ? 2 * kLineDoubles : 0;
    for (const Block& b : blocks_) {
        sums_.push_back(make_buffer<double>(checked_product(k, b.j_hi - b.j_lo) + pad, 0.0));
        const auto at = reinterpret_cast<std::uintptr_t>(sums_.back().data());
        const std::size_t misalign = at % (kLineDoubles * sizeof(double));
        offsets_.push_back(pad == 0 || misalign == 0 ? 0 : kLineDoubles - misalign / sizeof(double));
    }
    const std::size_t carried_lanes = kernels::selected_kernels().carried_sums_lanes;
    carried_fits_ = adjacent && std::all_of(blocks_.begin(), blocks_.end(), [&](const Block& b) {
                        return kernels::carried_sums_fits(carried_lanes, b.j_hi - b.j_lo, k);
                    });
    // A whole row fitting means every block does.
    carried_by_clusters_ = adjacent && blocks_.size() > 1 && k >= 2 && kernels::carried_sums_fits(carried_lanes, d, k);
    counts_ = make_buffer<std::uint64_t>(k, 0);
    if (by_clusters_) range_counts_ = make_buffer<std::uint64_t>(k, 0);
    // Split by features: the narrowest blocks count, each a share of the
    // rows (a wider block takes longer over its sums alone), into counts of
    // their own, a cache line of room on either side.
    if (blocks_.size() > 1) {
        std::size_t narrowest = d;
        for (const Block& b : blocks_) narrowest = std::min(narrowest, b.j_hi - b.j_lo);
        for (Block& b : blocks_) b.count_share = b.j_hi - b.j_lo == narrowest ? counting_blocks_++ : kNoShare;
        for (std::size_t p = 0; p < blocks_.size(); ++p)
            block_counts_.push_back(make_buffer<std::uint64_t>(k + 2 * kCountsPad, 0));
        if (carried_by_clusters_) {
            part_sums_ = make_buffer<double>(k * d, 0.0);
            balance_ = make_buffer<std::uint64_t>(k, 0);
        }
        listed_lengths_.assign(blocks_.size(), 0);
    }
}

void CentreSums::clear(const std::uint8_t* only) {
    // The blocks' counts are empty between calls of add (unless one failed).
    for (std::vector<std::uint64_t>& b : block_counts_) std::fill(b.begin(), b.end(), 0);
    if (only == nullptr) {
        if (!balance_.empty() && std::any_of(counts_.begin(), counts_.end(), [](std::uint64_t c) { return c != 0; }))
            std::copy(counts_.begin(), counts_.end(), balance_.begin());
        for (std::vector<double>& s : sums_) std::fill(s.begin(), s.end(), 0.0);
        std::fill(counts_.begin(), counts_.end(), 0);
        return;
    }
    for (std::size_t p = 0; p < blocks_.size(); ++p) {
        const std::size_t w = blocks_[p].j_hi - blocks_[p].j_lo;
        for (std::size_t c = 0; c < k_; ++c)
            if (only[c] != 0) std::fill_n(block_sums(p) + c * w, w, 0.0);
    }
    for (std::size_t c = 0; c < k_; ++c)
        if (only[c] != 0) counts_[c] = 0;
}

void CentreSums::add(const std::uint64_t* labels, std::size_t begin, std::size_t end, const std::uint8_t* only) {
    if (begin > end || end > x_.n_rows) throw InternalFailure("sample range out of bounds");
    if (by_clusters_) return add_by_clusters(labels, begin, end, only);
    if (only != nullptr && add_listed(labels, begin, end, only)) return;
    add_ranges(labels, begin, end, std::max<std::size_t>(1, end - begin), only);
}

// Split by features, each block would scan every label of the range to find
// the few flagged samples. Instead the workers list them once, each a
// stretch of the range (its list in the room of its stretch, counted into
// that stretch's counts), and then every block walks the stretches' lists in
// order: each sum gets its cluster's samples in sample order, as from
// accumulate_masked. Two hand-offs instead of one, so only for long calls.
bool CentreSums::add_listed(const std::uint64_t* labels, std::size_t begin, std::size_t end, const std::uint8_t* only) {
    const testing::MaskedSums how = testing::masked_sums();
    const std::size_t m = end - begin;
    const std::size_t parts = blocks_.size();
    if (how == testing::MaskedSums::Scanned || parts < 2 || x_.col_stride != 1 || m == 0 || m > kListedLimit ||
        k_ > kListedLimit)
        return false;
    if (how == testing::MaskedSums::Automatic && m < kListedMaskedFrom) return false;
    if (listed_room_ < m) {
        // Kept for the calls that follow; without it the blocks scan.
        listed_.reset();
        listed_room_ = 0;
        listed_.reset(new (std::nothrow) std::uint64_t[m]);
        if (!listed_) return false;
        listed_room_ = m;
    }
    std::uint64_t* list = listed_.get();
    // Stretch s is [start(s), start(s + 1)); start(parts) == end.
    auto start = [&](std::size_t s) { return begin + m / parts * s + std::min(s, m % parts); };
    runtime::parallel_for(parts, runtime::work_units(m, 2), [&](std::size_t lo, std::size_t hi) {
        for (std::size_t s = lo; s < hi; ++s)
            listed_lengths_[s] = list_flagged(labels, k_, only, begin, start(s), start(s + 1),
                                              list + (start(s) - begin), block_counts(s));
    });
    gather_block_counts();
    std::size_t listed = 0;
    for (std::size_t s = 0; s < parts; ++s) listed += listed_lengths_[s];
    runtime::parallel_for(parts, runtime::work_units(listed, x_.n_cols), [&](std::size_t lo, std::size_t hi) {
        for (std::size_t p = lo; p < hi; ++p) {
            const Block& b = blocks_[p];
            for (std::size_t s = 0; s < parts; ++s)
                add_listed_width(x_, begin, list + (start(s) - begin), listed_lengths_[s], block_sums(p),
                                 b.j_hi - b.j_lo, b.j_lo, b.j_hi - b.j_lo);
        }
    });
    return true;
}

void CentreSums::add_here(const std::uint64_t* labels, std::size_t begin, std::size_t end) {
    if (!by_clusters_) throw InternalFailure("sums added in place without their split by clusters");
    if (begin > end || end > x_.n_rows) throw InternalFailure("sample range out of bounds");
    accumulate_by_vectors(x_, labels, k_, 0, k_, nullptr, block_sums(0), x_.n_cols, counts_.data(), 0, x_.n_cols, begin,
                          end);
}

void CentreSums::add_blocks(const std::uint64_t* labels, std::size_t begin, std::size_t end, std::size_t block) {
    if (begin > end || end > x_.n_rows || block == 0) throw InternalFailure("sample range out of bounds");
    if (!by_clusters_) return add_ranges(labels, begin, end, block, nullptr);
    for (std::size_t s0 = begin; s0 < end; s0 += block) add_by_clusters(labels, s0, std::min(end, s0 + block), nullptr);
}

// One choice of kernel per range for every block (narrow rows split by
// features keep the kernel of runs). Split, each worker takes its blocks of
// features through the ranges in order: the same additions in the same
// order as one call per range, in one hand-off.
void CentreSums::add_ranges(const std::uint64_t* labels, std::size_t begin, std::size_t end, std::size_t block,
                            const std::uint8_t* only) {
    if (carried_by_clusters_ && only == nullptr && end > begin &&
        narrow_kernel(labels, begin, end, carried_fits_) == NarrowKernel::Carried)
        return add_carried_by_clusters(labels, begin, end);
    auto kernel_for = [&](std::size_t s0, std::size_t s1) {
        return only == nullptr && x_.n_cols <= kRunsMaxWidth ? narrow_kernel(labels, s0, s1, carried_fits_)
                                                             : NarrowKernel::Plain;
    };
    if (blocks_.size() == 1) {
        const Block& b = blocks_[0];
        for (std::size_t s0 = begin; s0 < end; s0 += block) {
            const std::size_t s1 = std::min(end, s0 + block);
            accumulate(x_, labels, k_, block_sums(0), counts_.data(), b.j_lo, b.j_hi, s0, s1, kernel_for(s0, s1), only);
        }
        return;
    }
    runtime::parallel_for(
        blocks_.size(), runtime::work_units(end - begin, x_.n_cols), [&](std::size_t lo, std::size_t hi) {
            for (std::size_t p = lo; p < hi; ++p) {
                const Block& b = blocks_[p];
                for (std::size_t s0 = begin; s0 < end; s0 += block) {
                    const std::size_t s1 = std::min(end, s0 + block);
                    accumulate_share(x_, labels, k_, block_sums(p), block_counts(p), b.j_lo, b.j_hi, s0, s1,
                                     kernel_for(s0, s1), only, b.count_share, counting_blocks_);
                }
            }
        });
    gather_block_counts();
}

// Every sum of a cluster is added to by the one part that owns the cluster,
// in sample order (the kernel lists the part's samples and adds them in
// order), from the value the blocks hold, and goes back there: the same
// additions as one block of all the features.
void CentreSums::add_carried_by_clusters(const std::uint64_t* labels, std::size_t begin, std::size_t end) {
    const std::size_t d = x_.n_cols;
    // Before any update has counted, every cluster weighs the same.
    if (std::all_of(balance_.begin(), balance_.end(), [](std::uint64_t c) { return c == 0; }))
        std::fill(balance_.begin(), balance_.end(), 1);
    std::size_t bounds[65];
    const std::size_t parts = split_clusters(balance_.data(), k_, blocks_.size(), bounds);
    const kernels::KernelTable& table = kernels::selected_kernels();
    const kernels::SampleView view{x_.data, x_.row_stride, 1};
    runtime::parallel_for(parts, runtime::work_units(end - begin, d), [&](std::size_t lo, std::size_t hi) {
        for (std::size_t p = lo; p < hi; ++p) {
            const std::size_t c_lo = bounds[p];
            const std::size_t c_hi = bounds[p + 1];
            double* mine = part_sums_.data();
            // The part's clusters' rows between the blocks and its own sums.
            auto move_rows = [&](bool in) {
                for (std::size_t b = 0; b < blocks_.size(); ++b) {
                    const std::size_t w = blocks_[b].j_hi - blocks_[b].j_lo;
                    for (std::size_t q = c_lo; q < c_hi; ++q) {
                        double* block = block_sums(b) + q * w;
                        double* own = mine + q * d + blocks_[b].j_lo;
                        std::copy_n(in ? block : own, w, in ? own : block);
                    }
                }
            };
            move_rows(true);
            if (table.carried_sums(view, begin, end, d, labels, k_, c_lo, c_hi, mine, block_counts(p)) != end - begin)
                label_out_of_range();
            move_rows(false);
        }
    });
    gather_block_counts();
}

void CentreSums::gather_block_counts() {
    for (std::size_t p = 0; p < block_counts_.size(); ++p) {
        std::uint64_t* counts = block_counts(p);
        for (std::size_t c = 0; c < k_; ++c) {
            counts_[c] += counts[c];
            counts[c] = 0;
        }
    }
}

// Contiguous cluster ranges holding about the same number of this range's
// samples each; the scan that counts them also checks the labels. With
// `only`, the clusters not flagged count nothing.
void CentreSums::add_by_clusters(const std::uint64_t* labels, std::size_t begin, std::size_t end,
                                 const std::uint8_t* only) {
    std::fill(range_counts_.begin(), range_counts_.end(), 0);
    for (std::size_t i = begin; i < end; ++i) {
        if (labels[i] >= k_) label_out_of_range();
        range_counts_[labels[i]] += 1;
    }
    if (only != nullptr)
        for (std::size_t c = 0; c < k_; ++c)
            if (only[c] == 0) range_counts_[c] = 0;
    for (std::size_t c = 0; c < k_; ++c) counts_[c] += range_counts_[c];
    std::size_t count = 0;
    for (std::size_t c = 0; c < k_; ++c) count += range_counts_[c];
    std::size_t bounds[65];
    const std::size_t n_blocks = split_clusters(range_counts_.data(), k_, runtime::pool_thread_count(), bounds);
    double* sums = block_sums(0);
    // Every row of x is read by the one block that owns its cluster.
    runtime::parallel_for(n_blocks, runtime::work_units(count, x_.n_cols), [&](std::size_t lo, std::size_t hi) {
        for (std::size_t p = lo; p < hi; ++p)
            accumulate_by_vectors(x_, labels, k_, bounds[p], bounds[p + 1], only, sums, x_.n_cols, nullptr, 0,
                                  x_.n_cols, begin, end);
    });
}

void CentreSums::finish(runtime::RandomSource& rng, CentreMatrix& out, const CentreMatrix* kept,
                        const std::uint8_t* only) {
    const std::size_t n = x_.n_rows;
    const std::size_t d = x_.n_cols;
    const std::size_t size = checked_product(k_, d);
    if ((only == nullptr) != (kept == nullptr) || (kept != nullptr && (kept->rows != k_ || kept->cols != d)))
        throw InternalFailure("kept centres without their flags, or of another shape");
    if (blocks_.size() == 1 && out.values.size() == size) {
        // Unsplit: the sums become the centres, and `out`'s old storage
        // becomes the next update's sums.
        std::swap(out.values, sums_[0]);
    } else {
        if (out.values.size() != size) out.values = make_buffer<double>(size, 0.0);
        for (std::size_t p = 0; p < blocks_.size(); ++p) {
            const Block& b = blocks_[p];
            const std::size_t w = b.j_hi - b.j_lo;
            for (std::size_t c = 0; c < k_; ++c)
                std::copy(block_sums(p) + c * w, block_sums(p) + c * w + w,
                          out.values.begin() + static_cast<std::ptrdiff_t>(c * d + b.j_lo));
        }
    }
    out.rows = k_;
    out.cols = d;
    std::uint64_t taken = 0;
    for (std::size_t c = 0; c < k_; ++c) {
        double* centre = out.row(c);
        if (only != nullptr && only[c] == 0) {
            if (counts_[c] == 0) throw InternalFailure("an empty cluster's centre kept");
            std::copy(kept->row(c), kept->row(c) + d, centre);
            taken += 1;
        } else if (counts_[c] == 0) {
            // Empty cluster: re-seed from a random sample (draws in cluster
            // order, on the calling thread).
            const std::uint64_t r = rng.uniform_index(n);
            copy_sample_row(x_, r, centre, d);
        } else {
            const double count = static_cast<double>(counts_[c]);
            for (std::size_t j = 0; j < d; ++j) centre[j] = centre[j] / count;
        }
    }
    if (taken != 0) testing::count_kept_centres(taken);
}

void update_centres(const SampleMatrix& x, const std::vector<std::uint64_t>& labels, std::size_t k,
                    runtime::RandomSource& rng, CentreMatrix& out, std::vector<std::uint64_t>& counts) {
    if (labels.size() != x.n_rows) throw InternalFailure("label count differs from sample count");
    CentreSums sums(x, k);
    sums.add(labels.data(), 0, x.n_rows);
    sums.finish(rng, out);
    counts = sums.counts();
}

CentreMatrix update_centres(const SampleMatrix& x, const std::vector<std::uint64_t>& labels, std::size_t k,
                            runtime::RandomSource& rng) {
    CentreMatrix out;
    std::vector<std::uint64_t> counts;
    update_centres(x, labels, k, rng, out, counts);
    return out;
}

}  // namespace corvalinth::kmeans
