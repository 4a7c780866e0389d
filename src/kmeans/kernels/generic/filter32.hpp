#pragma once
// The float32 pre-filter kernel, written once over a float vector traits type
// V (load, bcast, set1, mul_add, lt, min, max, blend, store on floats, and
// store_narrow(p, r): the doubles of a D register rounded to floats at p) and
// the double traits D of the same instruction set (set1, sub, mul_add, store,
// optionally load_block, see traits_concepts.hpp), used to pack the tile, and
// instantiated by each variant's translation unit.
//
// For a tile of T = NS * V::lanes samples it computes, for every centre c, the
// float score  F = fl32(nc_c - 2 x^.c^)  where x^ = fl32(x~) is the centred
// sample x~ = fl(x - mean) rounded to float while the tile is packed (no
// float copy of the samples exists beyond one tile), c^ = fl32(c~) the
// centred centre and nc_c the float norm of c^, both prepared once per pass.
// Per sample it keeps the smallest and second smallest score and a centre
// giving the smallest, like the float64 filter kernel, and the squared norm of
// x~ computed in double (the margin's input and the range guard).
//
// With few centres on long rows of adjacent coordinates, the same scores are
// computed along the rows in place (row_scores), without a tile.
//
// Twice the lanes of the float64 filter per fused multiply-add, at the price
// of a margin about 2^29 times wider: a sample this kernel cannot decide goes
// on to the float64 filter. The bound (docs/proofs/float32-stage.md, section 9)
// holds for any order of the sums, fused or not; what the kernel must keep:
// each dot product is a float sum of exactly `dims` float products, the score
// is one float rounding of nc - 2 * dot (2 * dot is exact), and the sample's
// norm is a double sum of exactly `dims` products of the doubles x~_j.
#include <cstddef>
#include <cstdint>

#include "kmeans/kernels/generic/filter64.hpp"

namespace corvalinth::kmeans::kernels {
namespace {

// NS vectors of samples against NC centres per step of the tile; RS samples
// against up to RC centres per sweep of the row form.
template <class V, class D, std::size_t NS, std::size_t NC, std::size_t RS, std::size_t RC>
struct Filter32Kernel {
    using reg = typename V::reg;
    static constexpr std::size_t L = V::lanes;
    static constexpr std::size_t T = NS * L;
    static_assert(T <= kFilterTileMax);

    // pack[j * T + t] = fl32(x(i0 + t, j) - mean[j]) and norm[t] = the double
    // sum of the squares of the differences; lanes past `count` are zero.
    // Values are not checked: a NaN, infinite or huge coordinate shows in the
    // norm, and the sample is then left to the float64 filter.
    static void pack_tile(const SampleView& x, std::size_t i0, std::size_t count, const double* mean, std::size_t dims,
                          float* pack, double* norm) {
        const std::ptrdiff_t rs = x.row_stride;
        const std::ptrdiff_t cs = x.col_stride;
        if constexpr (HasLoadBlock<D>) {
            if (count == T && cs == 1 && dims >= D::lanes) return pack_rows(x, i0, mean, dims, pack, norm);
        }
        if (count == T && rs == 1) {
            // Samples adjacent in every coordinate: each column is one run.
            for (std::size_t t = 0; t < T; ++t) norm[t] = 0.0;
            const double* col = x.data + static_cast<std::ptrdiff_t>(i0);
            for (std::size_t j = 0; j < dims; ++j, col += cs) {
                const double m = mean[j];
                float* dst = pack + j * T;
                for (std::size_t t = 0; t < T; ++t) {
                    const double v = col[t] - m;
                    norm[t] = norm[t] + v * v;
                    dst[t] = static_cast<float>(v);
                }
            }
            return;
        }
        constexpr std::size_t P = 8;  // partial sums of the norm, one per coordinate residue
        for (std::size_t t = 0; t < T; ++t) {
            float* dst = pack + t;
            if (t >= count) {
                for (std::size_t j = 0; j < dims; ++j) dst[j * T] = 0.0f;
                norm[t] = 0.0;
                continue;
            }
            const double* row = x.data + static_cast<std::ptrdiff_t>(i0 + t) * rs;
            double part[P] = {};
            std::size_t j = 0;
            if (cs == 1) {
                for (; j + P <= dims; j += P)
                    for (std::size_t l = 0; l < P; ++l) {
                        const double v = row[j + l] - mean[j + l];
                        part[l] = part[l] + v * v;
                        dst[(j + l) * T] = static_cast<float>(v);
                    }
            }
            double sum = 0.0;
            for (; j < dims; ++j) {
                const double v = row[static_cast<std::ptrdiff_t>(j) * cs] - mean[j];
                sum = sum + v * v;
                dst[j * T] = static_cast<float>(v);
            }
            for (std::size_t l = 0; l < P; ++l) sum = sum + part[l];
            norm[t] = sum;
        }
    }

    // Rows with adjacent coordinates: blocks of LD samples x LD coordinates
    // transposed in double registers (lane = sample), centred, their squares
    // summed per lane, and rounded to floats in place.
    static void pack_rows(const SampleView& x, std::size_t i0, const double* mean, std::size_t dims, float* pack,
                          double* norm) {
        using wide = typename D::reg;
        constexpr std::size_t LD = D::lanes;
        static_assert(T % LD == 0);
        const std::ptrdiff_t rs = x.row_stride;
        for (std::size_t s0 = 0; s0 < T; s0 += LD) {
            const double* base = x.data + static_cast<std::ptrdiff_t>(i0 + s0) * rs;
            wide acc = D::set1(0.0);
            std::size_t j = 0;
            for (; j + LD <= dims; j += LD) {
                wide cols[LD];
                D::load_block(base + j, rs, cols);
                for (std::size_t c = 0; c < LD; ++c) {
                    const wide v = D::sub(cols[c], D::set1(mean[j + c]));
                    acc = D::mul_add(v, v, acc);
                    V::store_narrow(pack + (j + c) * T + s0, v);
                }
            }
            D::store(norm + s0, acc);
            for (std::size_t t = 0; t < LD; ++t) {
                const double* row = base + static_cast<std::ptrdiff_t>(t) * rs;
                double tail = 0.0;
                for (std::size_t jt = j; jt < dims; ++jt) {
                    const double v = row[jt] - mean[jt];
                    tail = tail + v * v;
                    pack[jt * T + s0 + t] = static_cast<float>(v);
                }
                norm[s0 + t] = norm[s0 + t] + tail;
            }
        }
    }

    // Few centres and rows with adjacent coordinates: no tile, which would
    // cost as much as the products. RS rows are read along their length, L
    // coordinates at a time: centred in double (their squares summed into
    // the rows' norms during the first sweep), rounded to floats, and
    // multiplied into one float sum per lane for each centre of the sweep;
    // the lanes, and the coordinates past the last whole vector, are summed
    // at the end in float. Each dot product is still a float sum of exactly
    // `dims` float products, each norm a double sum of `dims` squares.
    using wide = typename D::reg;
    static constexpr std::size_t LD = D::lanes;
    static constexpr std::size_t R = L / LD;  // double registers per float register
    static_assert(R * LD == L && RS >= 1 && RC >= 1);

    // G centres c0 .. c0 + G - 1 against the rows: dot[g][s] = the float dot
    // product of row s with centre c0 + g; with Norm, norm[s] = the double
    // squared norm of the centred row.
    template <std::size_t G, bool Norm>
    static void row_group(const double* const* rows, const Filter32Centres& c, std::size_t c0, float (*dot)[RS],
                          double* norm) {
        const std::size_t dims = c.dims;
        const std::size_t whole = dims - dims % L;
        reg acc[G][RS];
        for (std::size_t g = 0; g < G; ++g)
            for (std::size_t s = 0; s < RS; ++s) acc[g][s] = V::set1(0.0f);
        wide nx[RS][R];
        if constexpr (Norm)
            for (std::size_t s = 0; s < RS; ++s)
                for (std::size_t r = 0; r < R; ++r) nx[s][r] = D::set1(0.0);
        const float* crow = c.centred + c0 * dims;
        for (std::size_t j = 0; j < whole; j += L) {
            reg xs[RS];
            // The mean's and each centre's vector loaded once, for all the
            // samples (the compiler would otherwise fold one load into every use).
            wide mean[R];
            for (std::size_t r = 0; r < R; ++r) {
                mean[r] = D::load(c.mean + j + r * LD);
                keep_in_register(mean[r]);
            }
            for (std::size_t s = 0; s < RS; ++s) {
                wide parts[R];
                for (std::size_t r = 0; r < R; ++r) {
                    parts[r] = D::sub(D::load(rows[s] + j + r * LD), mean[r]);
                    if constexpr (Norm) nx[s][r] = D::mul_add(parts[r], parts[r], nx[s][r]);
                }
                xs[s] = V::narrow(parts);
            }
            for (std::size_t g = 0; g < G; ++g) {
                reg cv = V::load(crow + g * dims + j);
                keep_in_register(cv);
                for (std::size_t s = 0; s < RS; ++s) acc[g][s] = V::mul_add(xs[s], cv, acc[g][s]);
            }
        }
        for (std::size_t s = 0; s < RS; ++s) {
            for (std::size_t g = 0; g < G; ++g) {
                float lanes[L];
                V::store(lanes, acc[g][s]);
                float sum = 0.0f;
                for (std::size_t l = 0; l < L; ++l) sum += lanes[l];
                for (std::size_t j = whole; j < dims; ++j) {
                    const auto v = static_cast<float>(rows[s][j] - c.mean[j]);
                    const float product = v * crow[g * dims + j];
                    sum += product;
                }
                dot[g][s] = sum;
            }
            if constexpr (Norm) {
                double sum = 0.0;
                for (std::size_t r = 0; r < R; ++r) {
                    double lanes[LD];
                    D::store(lanes, nx[s][r]);
                    for (std::size_t l = 0; l < LD; ++l) sum += lanes[l];
                }
                for (std::size_t j = whole; j < dims; ++j) {
                    const double v = rows[s][j] - c.mean[j];
                    sum += v * v;
                }
                norm[s] = sum;
            }
        }
    }

    // row_group for a group of g <= G centres.
    template <bool Norm, std::size_t G = RC>
    static void row_group_of(std::size_t g, const double* const* rows, const Filter32Centres& c, std::size_t c0,
                             float (*dot)[RS], double* norm) {
        if constexpr (G == 1) {
            row_group<1, Norm>(rows, c, c0, dot, norm);
        } else {
            if (g == G) return row_group<G, Norm>(rows, c, c0, dot, norm);
            row_group_of<Norm, G - 1>(g, rows, c, c0, dot, norm);
        }
    }

    static void row_scores(const SampleView& x, std::size_t i0, std::size_t count, const Filter32Centres& c,
                           FilterTileResult& out) {
        for (std::size_t t0 = 0; t0 < count; t0 += RS) {
            const double* rows[RS];
            for (std::size_t s = 0; s < RS; ++s) {
                const std::size_t t = t0 + s < count ? t0 + s : t0;  // past the end: sample t0 again
                rows[s] = x.data + static_cast<std::ptrdiff_t>(i0 + t) * x.row_stride;
            }
            double best[RS], second[RS], index[RS], norm[RS];
            for (std::size_t s = 0; s < RS; ++s) {
                best[s] = second[s] = __builtin_inf();
                index[s] = 0.0;
            }
            float dot[RC][RS];
            auto take = [&](std::size_t c0, std::size_t g_count) {
                for (std::size_t g = 0; g < g_count; ++g)
                    for (std::size_t s = 0; s < RS; ++s) {
                        // fl32(norm_c - 2 * dot): one float rounding, as -2 * dot is exact.
                        const float score = c.norms[c0 + g] + -2.0f * dot[g][s];
                        const double f = score;  // exact
                        second[s] = f < best[s] ? best[s] : (f < second[s] ? f : second[s]);
                        index[s] = f < best[s] ? static_cast<double>(c0 + g) : index[s];
                        best[s] = f < best[s] ? f : best[s];
                    }
            };
            // The first sweep also measures the norms.
            const std::size_t first = c.k < RC ? c.k : RC;
            row_group_of<true>(first, rows, c, 0, dot, norm);
            take(0, first);
            for (std::size_t c0 = first; c0 < c.k; c0 += RC) {
                const std::size_t g = c.k - c0 < RC ? c.k - c0 : RC;
                row_group_of<false>(g, rows, c, c0, dot, norm);
                take(c0, g);
            }
            for (std::size_t s = 0; s < RS && t0 + s < count; ++s) {
                out.best[t0 + s] = best[s];
                out.second[t0 + s] = second[s];
                out.index[t0 + s] = index[s];
                out.norm[t0 + s] = norm[s];
            }
        }
    }

    static void scores(const SampleView& x, std::size_t i0, std::size_t count, const Filter32Centres& c, float* pack,
                       FilterTileResult& out) {
        if (scored_along_rows(x, c.k, c.dims)) return row_scores(x, i0, count, c, out);
        pack_tile(x, i0, count, c.mean, c.dims, pack, out.norm);
        reg best[NS], second[NS], idx[NS];
        for (std::size_t v = 0; v < NS; ++v) {
            best[v] = V::set1(__builtin_inff());
            second[v] = V::set1(__builtin_inff());
            idx[v] = V::set1(0.0f);
        }
        score_all_centres<V, NS, NC>(pack, c.centred, c.norms, c.k, c.dims, best, second, idx);
        float b[T], s[T], ix[T];
        for (std::size_t v = 0; v < NS; ++v) {
            V::store(b + v * L, best[v]);
            V::store(s + v * L, second[v]);
            V::store(ix + v * L, idx[v]);
        }
        for (std::size_t t = 0; t < T; ++t) {
            // Every float is a double: these conversions are exact.
            out.best[t] = b[t];
            out.second[t] = s[t];
            out.index[t] = ix[t];
        }
    }
};

}  // namespace
}  // namespace corvalinth::kmeans::kernels
