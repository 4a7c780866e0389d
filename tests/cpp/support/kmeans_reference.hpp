#pragma once
// Test support: sample matrices in every memory layout, and a plain
// sequential k-means (scalar distances, one thread, the same draws) used as
// the reference that the pooled engine must match bit for bit.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "kmeans/base/model.hpp"
#include "kmeans/base/sample_matrix.hpp"
#include "kmeans/kernels/reference.hpp"
#include "kmeans/predict.hpp"
#include "runtime/internal_failure.hpp"
#include "runtime/random/random_source.hpp"
#include "support/sample_layouts.hpp"

namespace corvalinth::kmeans::testing {

using corvalinth::testing::kAllLayouts;
using corvalinth::testing::Layout;
using corvalinth::testing::layout_name;

// Owns the storage behind a SampleMatrix holding the n x d row-major values
// `v`, laid out as `layout` says. Element (i, j) of the view is v[i*d + j].
class Samples {
public:
    Samples(const std::vector<double>& v, std::size_t n, std::size_t d, Layout layout = Layout::RowMajor)
        : store_(corvalinth::testing::lay_out(v, n, d, layout)) {}
    Samples(const Samples&) = delete;
    Samples& operator=(const Samples&) = delete;
    const SampleMatrix& view() const { return store_.view; }
    operator const SampleMatrix&() const { return store_.view; }

private:
    corvalinth::testing::SampleStore store_;
};

inline std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

// The same bits, or both NaN: which NaN an operation on two NaN operands
// returns depends on the order the compiler gives the operands of an
// addition, and no result of the engine tells NaNs apart.
inline bool same_value(double a, double b) { return bits(a) == bits(b) || (std::isnan(a) && std::isnan(b)); }

// Values for the centre update's kernels: mostly normal, some of 2^60 times
// that size (sums that depend on the order of their additions), some
// subnormal, and with `specials` a NaN with a payload, +inf and -0.0.
inline void fill_update_values(std::vector<double>& values, std::mt19937_64& gen, bool specials) {
    std::normal_distribution<double> normal(0.0, 1.0);
    const double nan_payload = std::bit_cast<double>(std::uint64_t{0x7ff8000000000123});
    for (double& v : values) {
        const unsigned r = gen() % 100;
        if (specials && r < 3)
            v = r == 0 ? nan_payload : (r == 1 ? std::numeric_limits<double>::infinity() : -0.0);
        else if (r < 10)
            v = std::ldexp(normal(gen), 60);
        else if (r < 14)
            v = std::numeric_limits<double>::denorm_min() * static_cast<double>(gen() % 9);
        else
            v = normal(gen);
    }
}

// n x d values: `distinct` random points (mixed magnitudes), then the rest
// repeating them, shuffled; repeats make empty clusters likely for k > distinct.
inline std::vector<double> random_values(std::uint64_t seed, std::size_t n, std::size_t d, std::size_t distinct) {
    std::mt19937_64 gen(seed);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_int_distribution<int> scale(-3, 3);
    std::vector<double> points(distinct * d);
    for (std::size_t p = 0; p < distinct; ++p) {
        const double s = std::ldexp(1.0, 2 * scale(gen));
        for (std::size_t j = 0; j < d; ++j) points[p * d + j] = normal(gen) * s + static_cast<double>(p % 4) * 3.0;
    }
    std::vector<std::size_t> order(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = i % distinct;
    std::shuffle(order.begin(), order.end(), gen);
    std::vector<double> v(n * d);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < d; ++j) v[i * d + j] = points[order[i] * d + j];
    return v;
}

inline double ref_distance(const SampleMatrix& x, std::size_t i, const CentreMatrix& c, std::size_t r) {
    return squared_distance(x.row(i), x.col_stride, x.n_cols, c.row(r), c.cols);
}

// One lowering step of k-means++ by the definition: closest[i] becomes the
// distance to centre c where that is smaller (a NaN never lowers), and the
// running total of closest[] is summed left to right from -0.0, with
// ends[i / chunk] = the total at every chunk end (i + 1 a multiple of chunk,
// or the last sample). Returns the total.
inline double reference_lowering(const SampleMatrix& x, const CentreMatrix& centres, std::size_t c, std::size_t chunk,
                                 std::vector<double>& closest, std::vector<double>& ends) {
    ends.assign((x.n_rows + chunk - 1) / chunk, 0.0);
    double total = -0.0;
    for (std::size_t i = 0; i < x.n_rows; ++i) {
        const double dist = ref_distance(x, i, centres, c);
        if (dist < closest[i]) closest[i] = dist;
        total += closest[i];
        if ((i + 1) % chunk == 0 || i + 1 == x.n_rows) ends[i / chunk] = total;
    }
    return total;
}

inline void ref_copy_row(const SampleMatrix& x, std::size_t i, CentreMatrix& c, std::size_t r) {
    for (std::size_t j = 0; j < c.cols; ++j) c.row(r)[j] = x.at(i, j);
}

// k-means++ seeding, one scalar distance at a time.
inline CentreMatrix reference_seeding(const SampleMatrix& x, std::size_t k, runtime::RandomSource& rng) {
    const std::size_t n = x.n_rows;
    CentreMatrix c{k, x.n_cols, std::vector<double>(k * x.n_cols, 0.0)};
    ref_copy_row(x, rng.uniform_index(n), c, 0);
    std::vector<double> closest(n, std::numeric_limits<double>::infinity());
    for (std::size_t r = 1; r < k; ++r) {
        double total = -0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const double dist = ref_distance(x, i, c, r - 1);
            if (dist < closest[i]) closest[i] = dist;
            total += closest[i];
        }
        if (total == 0.0) {
            ref_copy_row(x, rng.uniform_index(n), c, r);
            continue;
        }
        const double target = total * rng.uniform_unit();
        double running = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            running += closest[i];
            if (running >= target) {
                ref_copy_row(x, i, c, r);
                break;
            }
        }
    }
    return c;
}

inline std::vector<std::uint64_t> reference_labels(const SampleMatrix& x, const CentreMatrix& c) {
    std::vector<std::uint64_t> labels(x.n_rows);
    for (std::size_t i = 0; i < x.n_rows; ++i)
        labels[i] = nearest_centre(x.row(i), x.col_stride, x.n_cols, c.values.data(), c.rows, c.cols);
    return labels;
}

inline CentreMatrix reference_update(const SampleMatrix& x, const std::vector<std::uint64_t>& labels, std::size_t k,
                                     runtime::RandomSource& rng) {
    CentreMatrix s{k, x.n_cols, std::vector<double>(k * x.n_cols, 0.0)};
    std::vector<std::uint64_t> counts(k, 0);
    for (std::size_t i = 0; i < x.n_rows; ++i) {
        for (std::size_t j = 0; j < x.n_cols; ++j) s.row(labels[i])[j] += x.at(i, j);
        ++counts[labels[i]];
    }
    for (std::size_t r = 0; r < k; ++r) {
        if (counts[r] == 0) {
            ref_copy_row(x, rng.uniform_index(x.n_rows), s, r);
        } else {
            for (std::size_t j = 0; j < x.n_cols; ++j) s.row(r)[j] /= static_cast<double>(counts[r]);
        }
    }
    return s;
}

struct ReferenceFit {
    CentreMatrix centres;
    std::uint64_t n_iter = 0;
    double last_inertia = 0.0;  // plain left-to-right sum (not the pool's tree)
    std::vector<double> inertias;  // every iteration's, the same way
};

// Seeding plus exactly `iters` Lloyd iterations (no convergence test).
inline ReferenceFit reference_fit(const SampleMatrix& x, std::size_t k, std::uint64_t iters, std::uint64_t seed) {
    auto rng = runtime::RandomSource::from_seed(seed);
    ReferenceFit out;
    out.centres = reference_seeding(x, k, rng);
    for (std::uint64_t t = 0; t < iters; ++t) {
        const auto labels = reference_labels(x, out.centres);
        out.centres = reference_update(x, labels, k, rng);
        double s = -0.0;
        for (std::size_t i = 0; i < x.n_rows; ++i) s += ref_distance(x, i, out.centres, labels[i]);
        out.last_inertia = s;
        out.inertias.push_back(s);
        out.n_iter = t + 1;
    }
    return out;
}

// Blobs, so that centres settle and most samples keep their labels; copies of
// points and integer coordinates make exact ties common.
inline std::vector<double> blobs(std::uint64_t seed, std::size_t n, std::size_t d, std::size_t groups, double spread,
                                 double offset, bool integers) {
    std::mt19937_64 gen(seed);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::vector<double> centre(groups * d);
    for (double& e : centre) e = std::round(normal(gen) * 20.0);
    std::vector<double> v(n * d);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t g = gen() % groups;
        for (std::size_t j = 0; j < d; ++j) {
            const double e = centre[g * d + j] + normal(gen) * spread;
            v[i * d + j] = (integers ? std::round(e) : e) + offset;
        }
        if (i % 7 == 3 && i > 0)
            for (std::size_t j = 0; j < d; ++j) v[i * d + j] = v[(i - 1) * d + j];  // duplicates
    }
    return v;
}

// First index at which two centre matrices differ bitwise, or "" when equal.
inline std::string centre_mismatch(const CentreMatrix& a, const CentreMatrix& b) {
    if (a.rows != b.rows || a.cols != b.cols || a.values.size() != b.values.size())
        return "shape " + std::to_string(a.rows) + "x" + std::to_string(a.cols) + " vs " + std::to_string(b.rows) +
               "x" + std::to_string(b.cols);
    for (std::size_t i = 0; i < a.values.size(); ++i)
        if (bits(a.values[i]) != bits(b.values[i]))
            return "element " + std::to_string(i) + ": " + std::to_string(a.values[i]) + " vs " +
                   std::to_string(b.values[i]);
    return "";
}

// Labels from predict; an error value is thrown (the test then fails).
inline std::vector<std::int32_t> predict_labels(const KMeansModel& m, const SampleMatrix& x) {
    auto r = predict(m, x);
    if (auto* e = std::get_if<EngineError>(&r)) throw std::runtime_error("predict failed: " + e->message);
    const auto& labels = std::get<LabelBuffer>(r);
    if (labels.size() != x.n_rows) throw std::runtime_error("predict returned the wrong number of labels");
    return std::vector<std::int32_t>(labels.data(), labels.data() + labels.size());
}

// Message of the InternalFailure that f() throws, or "(none)".
template <class F>
std::string internal_failure_message(F&& f) {
    try {
        f();
    } catch (const InternalFailure& e) {
        return e.what();
    }
    return "(none)";
}

}  // namespace corvalinth::kmeans::testing
