#pragma once
// Sample matrices laid out in every way a NumPy view can present them: the
// one list of layouts of the C++ tests.
#include <cstddef>
#include <limits>
#include <vector>

#include "kmeans/base/sample_matrix.hpp"

namespace corvalinth::testing {

using corvalinth::kmeans::SampleMatrix;

// RowMajor: C order. PaddedRows: 3 unused values after every row. Strided:
// every second row and every third column of a larger array. Reversed*: the
// rows, the columns or both read backwards. RepeatedRow: every row the same
// storage (row stride 0).
enum class Layout {
    RowMajor,
    PaddedRows,
    ColumnMajor,
    Strided,
    ReversedRows,
    ReversedCols,
    ReversedBoth,
    ReversedColumnMajor,
    RepeatedRow
};
inline const char* layout_name(Layout l) {
    static constexpr const char* names[] = {"RowMajor",     "PaddedRows",          "ColumnMajor",
                                            "Strided",      "ReversedRows",        "ReversedCols",
                                            "ReversedBoth", "ReversedColumnMajor", "RepeatedRow"};
    return names[static_cast<int>(l)];
}

// The layouts under which every engine test runs (RepeatedRow only where the
// data are one row repeated; Strided and ReversedColumnMajor in the kernel tests).
inline constexpr Layout kAllLayouts[] = {Layout::RowMajor,     Layout::PaddedRows,   Layout::ColumnMajor,
                                         Layout::ReversedRows, Layout::ReversedCols, Layout::ReversedBoth};

// Owns the memory behind a SampleMatrix laid out as requested.
struct SampleStore {
    std::vector<double> buffer;
    SampleMatrix view;
};

// The n x d row-major `values` laid out as `layout` says: element (i, j) of
// the view is values[i * d + j] (row 0 for every i with RepeatedRow). Memory
// the view does not address holds NaN, which no result may show.
inline SampleStore lay_out(const std::vector<double>& values, std::size_t n, std::size_t d, Layout layout) {
    SampleStore s;
    const auto sn = static_cast<std::ptrdiff_t>(n);
    const auto sd = static_cast<std::ptrdiff_t>(d);
    const bool empty = n == 0 || d == 0;
    auto put = [&](std::size_t size, std::ptrdiff_t origin, std::ptrdiff_t rs, std::ptrdiff_t cs) {
        if (empty) origin = 0;
        s.buffer.assign(size + 1, std::numeric_limits<double>::quiet_NaN());
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < d; ++j)
                s.buffer[static_cast<std::size_t>(origin + static_cast<std::ptrdiff_t>(i) * rs +
                                                  static_cast<std::ptrdiff_t>(j) * cs)] = values[i * d + j];
        s.view = SampleMatrix{s.buffer.data() + origin, n, d, rs, cs};
    };
    switch (layout) {
        case Layout::RowMajor: put(n * d, 0, sd, 1); break;
        case Layout::PaddedRows: put(n * (d + 3), 0, sd + 3, 1); break;
        case Layout::ColumnMajor: put(n * d, 0, 1, sn); break;
        case Layout::Strided: put(2 * n * 3 * d, 0, 2 * 3 * sd, 3); break;
        case Layout::ReversedRows: put(n * d, (sn - 1) * sd, -sd, 1); break;
        case Layout::ReversedCols: put(n * d, sd - 1, sd, -1); break;
        case Layout::ReversedBoth: put(n * d, sn * sd - 1, -sd, -1); break;
        case Layout::ReversedColumnMajor: put(n * d, sn * sd - 1, -1, -sn); break;
        case Layout::RepeatedRow:
            s.buffer.assign(d + 1, 0.0);
            for (std::size_t j = 0; j < d && n > 0; ++j) s.buffer[j] = values[j];
            s.view = SampleMatrix{s.buffer.data(), n, d, 0, 1};
            break;
    }
    return s;
}

}  // namespace corvalinth::testing
