#pragma once
// Emulated vectors for the kernel templates (8 doubles, 16 floats), so the
// AVX-512 instantiations run and are checked on any processor; and the list
// of kernels a test runs.
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "kmeans/kernels/bfloat16.hpp"
#include "kmeans/kernels/isa.hpp"

namespace corvalinth::testing {

// N lanes of E in plain C++: the operations every kernel template uses, one
// lane at a time, with fused multiply-add (like AVX-512; only the filter
// kernels use it).
template <class E, std::size_t N>
struct EmulatedLanes {
    struct reg {
        E v[N];
    };
    struct mask {
        bool m[N];
    };
    static constexpr std::size_t lanes = N;
    template <class F>
    static reg each(F f) {
        reg r;
        for (std::size_t l = 0; l < lanes; ++l) r.v[l] = f(l);
        return r;
    }
    static reg load(const E* p) {
        return each([&](std::size_t l) { return p[l]; });
    }
    static reg bcast(const E* p) { return set1(*p); }
    static reg set1(E x) {
        return each([&](std::size_t) { return x; });
    }
    static reg mul_add(reg a, reg b, reg c) {
        return each([&](std::size_t l) { return std::fma(a.v[l], b.v[l], c.v[l]); });
    }
    static mask lt(reg a, reg b) {
        mask m;
        for (std::size_t l = 0; l < lanes; ++l) m.m[l] = a.v[l] < b.v[l];
        return m;
    }
    static reg min(reg a, reg b) {
        return each([&](std::size_t l) { return a.v[l] < b.v[l] ? a.v[l] : b.v[l]; });
    }
    static reg max(reg a, reg b) {
        return each([&](std::size_t l) { return a.v[l] > b.v[l] ? a.v[l] : b.v[l]; });
    }
    static reg blend(mask m, reg f, reg t) {
        return each([&](std::size_t l) { return m.m[l] ? t.v[l] : f.v[l]; });
    }
    static void store(E* p, reg r) {
        for (std::size_t l = 0; l < lanes; ++l) p[l] = r.v[l];
    }
    // The update's sums in registers.
    static mask mask_of(unsigned bits) {
        mask m;
        for (std::size_t l = 0; l < lanes; ++l) m.m[l] = ((bits >> l) & 1U) != 0;
        return m;
    }
    // The carried sums.
    static reg load_first(const E* p, std::size_t w) {
        return each([&](std::size_t l) { return l < w ? p[l] : E{0}; });
    }
    static reg add_or(mask m, reg a, reg b, reg o) {
        return each([&](std::size_t l) { return m.m[l] ? a.v[l] + b.v[l] : o.v[l]; });
    }
    template <std::size_t P>
    static reg tile(const E* p, std::size_t w) {
        return each([&](std::size_t l) { return l % P < w ? p[l % P] : E{0}; });
    }
    // The keep test's labels and table lookups.
    struct index {
        std::uint64_t v[N];
    };
    static index load_index(const std::uint64_t* p) {
        index r;
        for (std::size_t l = 0; l < lanes; ++l) r.v[l] = p[l];
        return r;
    }
    static reg lookup(const E* table, std::size_t, index i) {
        return each([&](std::size_t l) { return table[i.v[l]]; });
    }
    static unsigned index_bits_between(index i, std::uint64_t lo, std::uint64_t span) {
        unsigned b = 0;
        for (std::size_t l = 0; l < lanes; ++l) b |= (i.v[l] - lo < span ? 1U : 0U) << l;
        return b;
    }
    static bool outside(index i, std::size_t k) {
        bool any = false;
        for (std::size_t l = 0; l < lanes; ++l) any = any || i.v[l] >= k;
        return any;
    }
    static mask both(mask a, mask b) {
        mask m;
        for (std::size_t l = 0; l < lanes; ++l) m.m[l] = a.m[l] && b.m[l];
        return m;
    }
    static reg abs(reg a) {
        return each([&](std::size_t l) { return std::fabs(a.v[l]); });
    }
    static unsigned bits(mask m) {
        unsigned b = 0;
        for (std::size_t l = 0; l < lanes; ++l) b |= (m.m[l] ? 1U : 0U) << l;
        return b;
    }
};

// An 8-lane double vector whose pair loads come out in a scrambled lane
// order: runs the 8-lane instantiation of the kernels (the AVX-512 tuning) on
// any processor, so its logic is checked even where AVX-512 is missing.
struct Emulated8 : EmulatedLanes<double, 8> {
    static constexpr std::size_t kPairLane[8] = {3, 0, 7, 1, 6, 2, 5, 4};  // lane t holds sample kPairLane[t]
    static reg load_float(const float* p) {
        return each([&](std::size_t l) { return static_cast<double>(p[l]); });
    }
    static reg sqrt(reg a) {
        return each([&](std::size_t l) { return std::sqrt(a.v[l]); });
    }
    static mask ge(reg a, reg b) {
        mask m;
        for (std::size_t l = 0; l < lanes; ++l) m.m[l] = a.v[l] >= b.v[l];
        return m;
    }
    // The picked lanes first, in order; the rest of the lanes written too
    // (with a value no caller may rely on).
    static std::size_t list_lanes32(std::uint32_t* out, unsigned bits, std::uint32_t first) {
        std::size_t m = 0;
        for (std::size_t l = 0; l < lanes; ++l)
            if (((bits >> l) & 1U) != 0) out[m++] = first + static_cast<std::uint32_t>(l);
        for (std::size_t l = m; l < lanes; ++l) out[l] = 0xDEADBEEFU;
        return m;
    }
    static reg round_bf16(reg a, std::uint16_t* out) {
        return each([&](std::size_t l) {
            out[l] = kmeans::kernels::to_bfloat16(a.v[l]);
            return static_cast<double>(kmeans::kernels::from_bfloat16(out[l]));
        });
    }
    static reg sub(reg a, reg b) {
        return each([&](std::size_t l) { return a.v[l] - b.v[l]; });
    }
    static reg mul(reg a, reg b) {
        return each([&](std::size_t l) { return a.v[l] * b.v[l]; });
    }
    static reg add(reg a, reg b) {
        return each([&](std::size_t l) { return a.v[l] + b.v[l]; });
    }
    static reg from_rows(const double* p, std::ptrdiff_t s) {
        return each([&](std::size_t l) { return p[static_cast<std::ptrdiff_t>(l) * s]; });
    }
    static void transpose(const reg* rows, reg* cols) {
        for (std::size_t c = 0; c < lanes; ++c) cols[c] = each([&](std::size_t t) { return rows[t].v[c]; });
    }
    static void load_block(const double* p, std::ptrdiff_t s, reg* cols) {
        for (std::size_t c = 0; c < lanes; ++c)
            cols[c] = each(
                [&](std::size_t t) { return p[static_cast<std::ptrdiff_t>(t) * s + static_cast<std::ptrdiff_t>(c)]; });
    }
    template <std::size_t D>
    static void load_dense(const double* p, reg* cols) {
        for (std::size_t j = 0; j < D; ++j) cols[j] = each([&](std::size_t t) { return p[t * D + j]; });
    }
    static void load_pairs(const double* p, reg& a, reg& b) {
        a = each([&](std::size_t l) { return p[2 * kPairLane[l]]; });
        b = each([&](std::size_t l) { return p[2 * kPairLane[l] + 1]; });
    }
    static reg pairs_order(reg r) {
        reg o;
        for (std::size_t t = 0; t < lanes; ++t) o.v[kPairLane[t]] = r.v[t];
        return o;
    }
    template <class Out>
    static void store_labels(Out* out, reg r) {
        for (std::size_t l = 0; l < lanes; ++l) out[l] = static_cast<Out>(static_cast<std::int64_t>(r.v[l]));
    }
};

// A 4-lane double vector: the narrow rows' form of the carried sums (the
// AVX-512 tuning's four-lane registers) on any processor.
struct Emulated4 : EmulatedLanes<double, 4> {
    static reg add(reg a, reg b) {
        return each([&](std::size_t l) { return a.v[l] + b.v[l]; });
    }
};

// A 16-lane float vector: runs the 16-lane instantiation of the float32
// pre-filter (the AVX-512 tuning, with Emulated8 to pack) on any processor.
struct Emulated16f : EmulatedLanes<float, 16> {
    static reg load_bf16(const std::uint16_t* p) {
        return each([&](std::size_t l) { return std::bit_cast<float>(static_cast<std::uint32_t>(p[l]) << 16); });
    }
    static reg sub(reg a, reg b) {
        return each([&](std::size_t l) { return a.v[l] - b.v[l]; });
    }
    static reg add(reg a, reg b) {
        return each([&](std::size_t l) { return a.v[l] + b.v[l]; });
    }
    static void store_narrow(float* p, const Emulated8::reg& r) {
        for (std::size_t l = 0; l < Emulated8::lanes; ++l) p[l] = static_cast<float>(r.v[l]);
    }
    static reg narrow(const Emulated8::reg* parts) {
        return each([&](std::size_t l) { return static_cast<float>(parts[l / 8].v[l % 8]); });
    }
};

// The kernels under test: the library's instruction sets and the emulated lanes.
enum class Kernel { portable, avx2, avx512, emulated8 };

inline kmeans::kernels::Isa library_isa(Kernel k) { return static_cast<kmeans::kernels::Isa>(static_cast<int>(k)); }
inline bool kernel_available(Kernel k) {
    return k == Kernel::emulated8 || kmeans::kernels::isa_available(library_isa(k));
}
inline const char* kernel_name(Kernel k) {
    return k == Kernel::emulated8 ? "emulated8" : kmeans::kernels::isa_name(library_isa(k));
}

}  // namespace corvalinth::testing
