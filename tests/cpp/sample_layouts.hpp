#pragma once
// Sample matrices laid out in every way a NumPy view can present them, for
// kernel tests.
#include <cstddef>
#include <vector>

#include "kmeans/sample_matrix.hpp"

namespace corvalinth::testing {

using corvalinth::kmeans::SampleMatrix;

enum class Layout { RowMajor, ColumnMajor, Strided, Reversed, ReversedColumnMajor, RepeatedRow };
inline const char* layout_name(Layout l) {
    static constexpr const char* names[] = {"RowMajor", "ColumnMajor", "Strided",
                                            "Reversed", "ReversedColumnMajor", "RepeatedRow"};
    return names[static_cast<int>(l)];
}

// Owns the memory behind a SampleMatrix laid out as requested.
struct SampleStore {
    std::vector<double> buffer;
    SampleMatrix view;
};

inline SampleStore lay_out(const std::vector<double>& values, std::size_t n, std::size_t d, Layout layout) {
    SampleStore s;
    const auto sn = static_cast<std::ptrdiff_t>(n);
    const auto sd = static_cast<std::ptrdiff_t>(d);
    auto put = [&](std::size_t size, std::ptrdiff_t origin, std::ptrdiff_t rs, std::ptrdiff_t cs) {
        s.buffer.assign(size + 1, 12345.0);  // fillers must never be read
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < d; ++j)
                s.buffer[static_cast<std::size_t>(origin + static_cast<std::ptrdiff_t>(i) * rs +
                                                  static_cast<std::ptrdiff_t>(j) * cs)] = values[i * d + j];
        s.view = SampleMatrix{s.buffer.data() + origin, n, d, rs, cs};
    };
    switch (layout) {
        case Layout::RowMajor: put(n * d, 0, sd, 1); break;
        case Layout::ColumnMajor: put(n * d, 0, 1, sn); break;
        case Layout::Strided: put(2 * n * 3 * d, 0, 2 * 3 * sd, 3); break;
        case Layout::Reversed: put(n * d, n * d == 0 ? 0 : sn * sd - 1, -sd, -1); break;
        case Layout::ReversedColumnMajor: put(n * d, n * d == 0 ? 0 : sn * sd - 1, -1, -sn); break;
        case Layout::RepeatedRow:
            s.buffer.assign(d + 1, 0.0);
            for (std::size_t j = 0; j < d && n > 0; ++j) s.buffer[j] = values[j];
            s.view = SampleMatrix{s.buffer.data(), n, d, 0, 1};
            break;
    }
    return s;
}

}  // namespace corvalinth::testing
