#pragma once
// The keep test, written once over a vector traits type V: for rows of up to
// seven features each sample's exact distance to the centre its label names
// and, for rows of any width (the distances then given), whether its carried
// lower bound, less the centres' move, still keeps that label, a vector of
// samples at a time.
//
// V provides, beyond the operations of exact.hpp: index (a vector of lanes
// labels), load_index(p) (lanes uint64 labels), lookup(table, k, i) (lane l =
// table[i_l], every i_l below k, the table at least 16 entries long), both(a,
// b) (lane-wise and of two masks), bits(m) (bit l set where lane l of m is),
// outside(i, k) (whether a lane of i is k or more).
// Optionally load_dense<D>(p, cols) (lanes consecutive rows of D adjacent
// doubles, transposed: lane t of cols[j] = p[t * D + j]).
//
// Each lane computes what the scalar code computes for its sample, operation
// for operation: the distance acc = -0.0, then acc = acc + (a_j - c_j) *
// (a_j - c_j) for j = 0, 1, ..., each rounded on its own; the moved bound
// rest = lower - move, 0 unless rest > rest_floor, else rest * shrink; the
// label kept when low < bound < high and distance < (bound * bound) * reach,
// every comparison false on NaN. So the distances, the bounds and the
// decisions are the scalar ones bit for bit.
#include <concepts>
#include <cstddef>
#include <cstdint>

#include "kmeans/kernels/views.hpp"

namespace corvalinth::kmeans::kernels {
namespace {

template <class V, std::size_t D>
concept HasLoadDense = requires(const double* p, typename V::reg* cols) { V::template load_dense<D>(p, cols); };

// list_lanes(out, bits, first): first + l for every bit l set in bits, in
// increasing order from out[0] on; returns how many. It may write up to lanes
// entries (the list has room for them: a vector of samples adds at most lanes).
template <class V>
concept HasListLanes = requires(std::size_t* out, unsigned bits, std::size_t first) {
    { V::list_lanes(out, bits, first) } -> std::convertible_to<std::size_t>;
};

template <class V>
struct KeepKernel {
    // For the whole vectors of samples in [begin, end): own[i - begin] = the
    // distance of row i to centre labels[i], lower[i] = its moved bound, and
    // every i whose label is not kept appended to todo at m. Returns where
    // the samples left to the caller start: fewer than a vector, or the
    // first vector with a label of c.k or more. c.dims is 1 to kKeepMaxDims.
    // With `sum`, *sum = *sum + each distance in sample order (the scalar
    // chain runs beside the vector work of the next samples).
    static std::size_t run(const SampleView& x, std::size_t begin, std::size_t end, const std::uint64_t* labels,
                           const KeepCentres& c, double* lower, double* own, std::size_t* todo, std::size_t& m,
                           double* sum) {
        switch (c.dims) {
            case 1: return tiles<1>(x, begin, end, labels, c, lower, own, todo, m, sum);
            case 2: return tiles<2>(x, begin, end, labels, c, lower, own, todo, m, sum);
            case 3: return tiles<3>(x, begin, end, labels, c, lower, own, todo, m, sum);
            case 4: return tiles<4>(x, begin, end, labels, c, lower, own, todo, m, sum);
            case 5: return tiles<5>(x, begin, end, labels, c, lower, own, todo, m, sum);
            case 6: return tiles<6>(x, begin, end, labels, c, lower, own, todo, m, sum);
            case 7: return tiles<7>(x, begin, end, labels, c, lower, own, todo, m, sum);
            default: return begin;
        }
    }

    // The same test where the distances are known: own[i - begin] is row i's
    // distance to centre labels[i] (read only; c.coords is not read, and
    // c.dims does not matter). The bounds, the list and the return as run's.
    static std::size_t given(std::size_t begin, std::size_t end, const std::uint64_t* labels, const KeepCentres& c,
                             double* lower, const double* own, std::size_t* todo, std::size_t& m) {
        const Test test(c);
        std::size_t i = begin;
        std::size_t count = m;
        for (; end - i >= V::lanes; i += V::lanes) {
            const auto idx = V::load_index(labels + i);
            if (V::outside(idx, c.k)) break;  // the caller's code reports it
            keep_vector(test, c, idx, V::load(own + (i - begin)), lower, i, todo, count);
        }
        m = count;
        return i;
    }

private:
    using reg = typename V::reg;

    // The test's constants in every lane.
    struct Test {
        reg zero, rest_floor, shrink, low, high, reach;
        explicit Test(const KeepCentres& c)
            : zero(V::set1(0.0)),
              rest_floor(V::set1(c.rest_floor)),
              shrink(V::set1(c.shrink)),
              low(V::set1(c.low)),
              high(V::set1(c.high)),
              reach(V::set1(c.reach)) {}
    };

    // The vector of samples from i (labels idx, distances acc): their moved
    // bounds into lower + i, and each whose label is not kept appended to
    // todo at count.
    template <class Index>
    static void keep_vector(const Test& t, const KeepCentres& c, const Index& idx, reg acc, double* lower,
                            std::size_t i, std::size_t* todo, std::size_t& count) {
        const reg rest = V::sub(V::load(lower + i), V::lookup(c.except, c.k, idx));
        const reg bound = V::blend(V::lt(t.rest_floor, rest), t.zero, V::mul(rest, t.shrink));
        const auto inside = V::both(V::lt(t.low, bound), V::lt(bound, t.high));
        const auto keep = V::both(inside, V::lt(acc, V::mul(V::mul(bound, bound), t.reach)));
        V::store(lower + i, bound);
        // Branch-free: which samples keep their label is unpredictable.
        const unsigned unkept = ~V::bits(keep) & ((1U << V::lanes) - 1U);
        if constexpr (HasListLanes<V>) {
            count += V::list_lanes(todo + count, unkept, i);
        } else {
            for (std::size_t l = 0; l < V::lanes; ++l) {
                todo[count] = i + l;
                count += (unkept >> l) & 1U;
            }
        }
    }

    // Up to kLocalCentres centres the tables (the entries up to there, 0 past
    // k) are copied to the stack first: no store of the loop can reach them
    // there, so the compiler keeps them in registers instead of reading them
    // again for every vector (the same entries: the same lookups).
    static constexpr std::size_t kLocalCentres = 16;

    template <std::size_t D>
    static std::size_t tiles(const SampleView& x, std::size_t begin, std::size_t end, const std::uint64_t* labels,
                             const KeepCentres& c, double* lower, double* own, std::size_t* todo, std::size_t& m,
                             double* sum) {
        if (c.k > kLocalCentres) return tiles_of<D>(x, begin, end, labels, c, lower, own, todo, m, sum);
        alignas(64) double local[(D + 1) * kLocalCentres];
        for (std::size_t j = 0; j < D; ++j)
            for (std::size_t t = 0; t < kLocalCentres; ++t) local[j * kLocalCentres + t] = c.coords[j * c.cap + t];
        for (std::size_t t = 0; t < kLocalCentres; ++t) local[D * kLocalCentres + t] = c.except[t];
        KeepCentres here = c;
        here.coords = local;
        here.except = local + D * kLocalCentres;
        here.cap = kLocalCentres;
        return tiles_of<D>(x, begin, end, labels, here, lower, own, todo, m, sum);
    }

    template <std::size_t D>
    static std::size_t tiles_of(const SampleView& x, std::size_t begin, std::size_t end, const std::uint64_t* labels,
                                const KeepCentres& c, double* lower, double* own, std::size_t* todo, std::size_t& m,
                                double* sum) {
        const bool dense = x.col_stride == 1 && x.row_stride == static_cast<std::ptrdiff_t>(D);
        const reg start = V::set1(-0.0);
        const Test test(c);
        std::size_t i = begin;
        std::size_t count = m;
        double total = sum != nullptr ? *sum : 0.0;
        for (; end - i >= V::lanes; i += V::lanes) {
            const auto idx = V::load_index(labels + i);
            if (V::outside(idx, c.k)) break;  // the caller's code reports it
            const double* first = x.data + static_cast<std::ptrdiff_t>(i) * x.row_stride;
            reg col[D];
            bool loaded = false;
            if constexpr (HasLoadDense<V, D>) {
                if (dense) {
                    V::template load_dense<D>(first, col);
                    loaded = true;
                }
            }
            if (!loaded)
                for (std::size_t j = 0; j < D; ++j)
                    col[j] = V::from_rows(first + static_cast<std::ptrdiff_t>(j) * x.col_stride, x.row_stride);
            reg acc = start;
            for (std::size_t j = 0; j < D; ++j) {
                const reg diff = V::sub(col[j], V::lookup(c.coords + j * c.cap, c.k, idx));
                acc = V::add(acc, V::mul(diff, diff));
            }
            V::store(own + (i - begin), acc);
            keep_vector(test, c, idx, acc, lower, i, todo, count);
            if (sum != nullptr)
                for (std::size_t l = 0; l < V::lanes; ++l) total = total + own[i - begin + l];
        }
        m = count;
        if (sum != nullptr) *sum = total;
        return i;
    }
};

}  // namespace
}  // namespace corvalinth::kmeans::kernels
