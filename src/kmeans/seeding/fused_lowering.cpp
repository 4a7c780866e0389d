// The lowering pass of narrow rows fused with the running total.
#include "kmeans/seeding/fused_lowering.hpp"

#include <array>

#include "runtime/internal_failure.hpp"

namespace corvalinth::kmeans {
namespace {

// Two samples side by side: the lanes never mix, so each lane's arithmetic is
// that sample's scalar arithmetic (IEEE operations on each element alone).
typedef double Pair __attribute__((vector_size(16)));

// The loop for rows of D features (D known at compile time, so the distance
// is unrolled and the centre kept in registers). Samples go two at a time
// through the distance and the comparison (halving those instructions, which
// compete with the sum's additions for the same units); the sum then adds
// the first of the two before the second.
template <std::size_t D>
double fused(const SampleMatrix& x, const double* centre, std::size_t begin, std::size_t end, std::size_t n,
             std::size_t chunk, double* closest, double total, double* ends) {
    std::array<double, D == 0 ? 1 : D> c{};
    for (std::size_t j = 0; j < D; ++j) c[j] = centre[j];
    const std::ptrdiff_t cs = x.col_stride;
    std::size_t i = begin;
    while (i < end) {
        const std::size_t chunk_end = (i / chunk + 1) * chunk;
        const std::size_t stop = chunk_end < end ? chunk_end : end;
        for (; i + 2 <= stop; i += 2) {
            const double* row0 = x.row(i);
            const double* row1 = x.row(i + 1);
            Pair acc = {-0.0, -0.0};
            for (std::size_t j = 0; j < D; ++j) {
                const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(j) * cs;
                const Pair diff = Pair{row0[at], row1[at]} - Pair{c[j], c[j]};
                acc = acc + diff * diff;
            }
            Pair entry;
            __builtin_memcpy(&entry, closest + i, sizeof entry);
            const Pair lowered = acc < entry ? acc : entry;
            __builtin_memcpy(closest + i, &lowered, sizeof lowered);
            total = total + lowered[0];
            total = total + lowered[1];
        }
        for (; i < stop; ++i) {
            const double* row = x.row(i);
            double acc = -0.0;
            for (std::size_t j = 0; j < D; ++j) {
                const double diff = row[static_cast<std::ptrdiff_t>(j) * cs] - c[j];
                acc = acc + diff * diff;
            }
            const double entry = closest[i];
            const double lowered = acc < entry ? acc : entry;
            closest[i] = lowered;
            total = total + lowered;
        }
        if (stop % chunk == 0 || stop == n) ends[(stop - 1) / chunk] = total;
    }
    return total;
}

using Fused = double (*)(const SampleMatrix&, const double*, std::size_t, std::size_t, std::size_t, std::size_t,
                         double*, double, double*);

constexpr Fused kByWidth[kFusedMaxDims] = {fused<0>, fused<1>, fused<2>, fused<3>,
                                           fused<4>, fused<5>, fused<6>, fused<7>};

}  // namespace

double fused_lower_and_sum(const SampleMatrix& x, const double* centre, std::size_t d, std::size_t begin,
                           std::size_t end, std::size_t n, std::size_t chunk, double* closest, double total,
                           double* ends) {
    if (d >= kFusedMaxDims || chunk == 0 || end > n) throw InternalFailure("fused lowering out of range");
    return kByWidth[d](x, centre, begin, end, n, chunk, closest, total, ends);
}

}  // namespace corvalinth::kmeans
