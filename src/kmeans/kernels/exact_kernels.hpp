#pragma once
// Fast exact nearest-centre assignment. Each distance keeps the exact
// left-to-right arithmetic of squared_distance; only the evaluation order
// across samples and centres changes (one SIMD lane per centre, several
// samples per block), so labels are bit-identical to nearest_centre. The
// kernels come from a kernel table: the selected instruction set's unless a
// caller (a test, a benchmark) names another.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "kmeans/base/model.hpp"
#include "kmeans/base/sample_matrix.hpp"
#include "kmeans/kernels/kernel_table.hpp"

namespace corvalinth::kmeans {

// Centres prepared for the kernels (transposed and padded, panel_layout.hpp),
// once per assignment pass. Uses the first `dims` coordinates of every
// centre; dims <= centres.cols.
class CentrePanel {
public:
    // No centres (k = dims = 0) until prepared.
    CentrePanel();
    CentrePanel(const CentreMatrix& centres, std::size_t dims);
    // Prepares `centres` in place of the panel's present centres, keeping
    // every buffer that is large enough (a fit prepares its centres again in
    // every pass). std::bad_alloc leaves the panel as it was.
    void prepare(const CentreMatrix& centres, std::size_t dims);
    ~CentrePanel();
    CentrePanel(CentrePanel&&) noexcept;
    CentrePanel& operator=(CentrePanel&&) noexcept;
    std::size_t k() const;
    std::size_t dims() const;

    struct Impl;
    const Impl& impl() const { return *impl_; }
    kernels::PanelView view() const;

private:
    std::unique_ptr<Impl> impl_;
};

// For every row i in [begin, end) of x (its first panel.dims() coordinates),
// out[i - begin] = index of the nearest centre. Label is std::uint64_t or
// std::int32_t.
template <class Label>
void nearest_centres(const SampleMatrix& x, std::size_t begin, std::size_t end, const CentrePanel& panel, Label* out,
                     const kernels::KernelTable& table = kernels::selected_kernels());

// nearest_centres with std::uint64_t labels, and second[i - begin] = the
// smallest squared distance from row i to a centre other than (one instance
// of) its label, NaN distances left out, +inf when there is none.
void nearest_centres_with_second(const SampleMatrix& x, std::size_t begin, std::size_t end, const CentrePanel& panel,
                                 std::uint64_t* out, double* second,
                                 const kernels::KernelTable& table = kernels::selected_kernels());

// out[i] = squared_distance(row i of x, centre) for every row of x, using the
// first `dims` coordinates of both; vectorised across samples (seeding).
void distances_to_centre(const SampleMatrix& x, const double* centre, std::size_t dims, double* out,
                         const kernels::KernelTable& table = kernels::selected_kernels());

// out[p] = squared_distance(row base + pick[p] of x, centre) over the first
// `dims` coordinates of both, for p < m; vectorised across the listed rows
// (the seeding's rows that its bounds leave open). A row past x is an
// internal failure.
void listed_distances(const SampleMatrix& x, std::size_t base, const std::uint32_t* pick, std::size_t m,
                      const double* centre, std::size_t dims, double* out,
                      const kernels::KernelTable& table = kernels::selected_kernels());

// out[i - begin] = squared_distance(row i of x, row labels[i - begin] of
// centres) over the first `dims` coordinates of both, for i in [begin, end);
// vectorised across samples (the inertia's terms). A label that names no
// centre is an internal failure.
void assigned_distances(const SampleMatrix& x, std::size_t begin, std::size_t end, const std::uint64_t* labels,
                        const CentreMatrix& centres, std::size_t dims, double* out,
                        const kernels::KernelTable& table = kernels::selected_kernels());

}  // namespace corvalinth::kmeans
