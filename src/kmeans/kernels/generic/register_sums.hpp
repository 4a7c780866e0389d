#pragma once
// The centre update's sums of few clusters of narrow rows, held in vector
// registers for a whole range of samples, written once over a vector traits
// type V.
//
// V provides, beyond load, set1, add and store: mask_of(bits) (lane l set
// where bit l of bits is), add_or(m, a, b, a) (a + b in the lanes of m, a
// unchanged in the others) and tile<P>(p, w) (lane l = p[l % P] where l % P
// is below w, any finite value elsewhere; reads p[0 .. w - 1] only).
//
// The sums of k clusters of w features lie in slots c * P + j (P the width
// rounded up to a power of two, at most the lanes), slot s in lane s % lanes
// of register s / lanes; the counts in lane c % lanes of their own registers,
// as doubles. A sample of cluster c adds its row, tiled to P lanes, to every
// register under the mask of c's slots there: lanes of c get sum + x_j, the
// same addition of the same operands as the plain loop's sum[j] = sum[j] +
// x_j, in sample order; every other lane keeps its bits (no arithmetic is
// done in it, or its result is dropped). So every sum is the plain loop's
// chain bit for bit, and every count is a sum of ones, exact below 2^53.
// The gain: consecutive samples of one cluster meet in a register instead of
// waiting for a store to reach the next load.
#include <concepts>
#include <cstddef>
#include <cstdint>

#include "kmeans/kernels/kernel_table.hpp"
#include "kmeans/kernels/views.hpp"

namespace corvalinth::kmeans::kernels {
namespace {

template <class V>
concept HasRegisterSums = requires(typename V::reg a, typename V::mask m, unsigned bits, const double* p) {
    { V::mask_of(bits) } -> std::convertible_to<typename V::mask>;
    { V::add_or(m, a, a, a) } -> std::convertible_to<typename V::reg>;
    { V::template tile<1>(p, std::size_t{1}) } -> std::convertible_to<typename V::reg>;
};

template <class V>
    requires HasRegisterSums<V>
struct RegisterSumsKernel {
    static constexpr std::size_t L = V::lanes;
    static constexpr std::size_t kSumRegisters = kRegisterSumsSlots / L;
    static constexpr std::size_t kCountRegisters = (kRegisterSumsSlots + L - 1) / L;

    // Adds rows [begin, end) of x (features 0 .. w - 1 adjacent from each
    // row's start) into sums[c * w + j] (and counts[c], when set) for c =
    // labels[i], in sample order. Returns how many samples were added: all of
    // them, or up to the first label of k or more; none unless
    // register_sums_fits(L, w, k).
    static std::size_t run(const SampleView& x, std::size_t begin, std::size_t end, std::size_t w,
                           const std::uint64_t* labels, std::size_t k, double* sums, std::uint64_t* counts) {
        if (!register_sums_fits(L, w, k)) return 0;
        const std::size_t pitch = register_sums_pitch(w);
        const std::size_t registers = (k * pitch + L - 1) / L;
        const std::size_t count_registers = counts != nullptr ? (k + L - 1) / L : 0;
        auto by = [&]<std::size_t P>() {
            if (registers == 1) return counted<P, 1>(x, begin, end, w, labels, k, sums, counts, count_registers);
            if constexpr (kSumRegisters >= 2)
                if (registers == 2) return counted<P, 2>(x, begin, end, w, labels, k, sums, counts, count_registers);
            if constexpr (kSumRegisters >= 4)
                if (registers <= 4) return counted<P, 4>(x, begin, end, w, labels, k, sums, counts, count_registers);
            return counted<P, kSumRegisters>(x, begin, end, w, labels, k, sums, counts, count_registers);
        };
        switch (pitch) {
            case 1: return by.template operator()<1>();
            case 2: return by.template operator()<2>();
            case 4:
                if constexpr (L >= 4)
                    return by.template operator()<4>();
                else
                    break;
            case 8:
                if constexpr (L >= 8)
                    return by.template operator()<8>();
                else
                    break;
            default: break;
        }
        return 0;
    }

    static constexpr RegisterSumsFn entry = &RegisterSumsKernel::run;
    static constexpr std::size_t lanes = L;

private:
    template <std::size_t P, std::size_t R>
    static std::size_t counted(const SampleView& x, std::size_t begin, std::size_t end, std::size_t w,
                               const std::uint64_t* labels, std::size_t k, double* sums, std::uint64_t* counts,
                               std::size_t count_registers) {
        if (count_registers == 0) return add<P, R, 0>(x, begin, end, w, labels, k, sums, counts);
        if (count_registers == 1) return add<P, R, 1>(x, begin, end, w, labels, k, sums, counts);
        if constexpr (kCountRegisters >= 2)
            if (count_registers == 2) return add<P, R, 2>(x, begin, end, w, labels, k, sums, counts);
        return add<P, R, kCountRegisters>(x, begin, end, w, labels, k, sums, counts);
    }

    // R registers of sums (some lanes unused when k * P < R * L), C of counts.
    template <std::size_t P, std::size_t R, std::size_t C>
    static std::size_t add(const SampleView& x, std::size_t begin, std::size_t end, std::size_t w,
                           const std::uint64_t* labels, std::size_t k, double* sums, std::uint64_t* counts) {
        using reg = typename V::reg;
        using mask = typename V::mask;
        constexpr std::size_t kClusters = kRegisterSumsSlots / P;  // k is at most this
        double cell[kRegisterSumsSlots > L ? kRegisterSumsSlots : L] = {};
        reg acc[R];
        for (std::size_t c = 0; c < k; ++c)
            for (std::size_t j = 0; j < w; ++j) cell[c * P + j] = sums[c * w + j];
        for (std::size_t r = 0; r < R; ++r) acc[r] = V::load(cell + r * L);
        reg tally[C > 0 ? C : 1];
        for (std::size_t r = 0; r < C; ++r) tally[r] = V::set1(0.0);
        const reg one = V::set1(1.0);
        // The masks of each cluster's slots and count lane, register by register.
        mask slots[kClusters][R];
        mask lane[kClusters][C > 0 ? C : 1];
        for (std::size_t c = 0; c < k && c < kClusters; ++c) {
            for (std::size_t r = 0; r < R; ++r) {
                unsigned bits = 0;
                for (std::size_t l = 0; l < L; ++l) {
                    const std::size_t s = r * L + l;
                    bits |= (s / P == c && s % P < w ? 1U : 0U) << l;
                }
                slots[c][r] = V::mask_of(bits);
            }
            for (std::size_t r = 0; r < C; ++r) lane[c][r] = V::mask_of(c / L == r ? 1U << (c % L) : 0U);
        }
        std::size_t i = begin;
        for (; i < end; ++i) {
            const std::uint64_t c = labels[i];
            if (c >= k) break;
            const reg row = V::template tile<P>(x.data + static_cast<std::ptrdiff_t>(i) * x.row_stride, w);
            for (std::size_t r = 0; r < R; ++r) acc[r] = V::add_or(slots[c][r], acc[r], row, acc[r]);
            for (std::size_t r = 0; r < C; ++r) tally[r] = V::add_or(lane[c][r], tally[r], one, tally[r]);
        }
        for (std::size_t r = 0; r < R; ++r) V::store(cell + r * L, acc[r]);
        for (std::size_t c = 0; c < k; ++c)
            for (std::size_t j = 0; j < w; ++j) sums[c * w + j] = cell[c * P + j];
        if constexpr (C > 0) {
            double tallied[C * L];
            for (std::size_t r = 0; r < C; ++r) V::store(tallied + r * L, tally[r]);
            for (std::size_t c = 0; c < k; ++c) counts[c] += static_cast<std::uint64_t>(tallied[c]);
        }
        return i - begin;
    }
};

// The table entry of a narrow-row update kernel (the sums in registers, the
// carried sums) where the traits lack its operations (one lane: nothing to
// gain).
struct NoNarrowSums {
    static constexpr std::nullptr_t entry = nullptr;
    static constexpr std::size_t lanes = 0;
};

}  // namespace
}  // namespace corvalinth::kmeans::kernels
