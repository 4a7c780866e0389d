// Whole default fits of a saved data set (a C-ordered float64 .npy file) with
// the exact kernels' bounds never on, on once the labels settle (the default)
// and on from the first pass, interleaved: seconds (best of the runs),
// iterations and the labels the bounds kept.
//
// usage: bench_bounds file.npy k [runs [max_iters tol]]; BENCH_MODE=never,
// settled or always runs that mode alone (for profilers). BENCH_UNCHANGED=
// never, auto (the default) or always sets when the fit sums only the
// clusters whose members changed (the share of centres taken over and of
// distances reused is printed too). BENCH_KEEP=scalar runs the keep test in
// the scalar code alone.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "bench_timing.hpp"
#include "kmeans/base/model.hpp"
#include "kmeans/base/sample_matrix.hpp"
#include "kmeans/fit.hpp"
#include "kmeans/testing/knobs.hpp"

namespace {

using namespace corvalinth;
using kmeans::testing::ExactBoundsInFits;
using kmeans::testing::UnchangedClusters;

// The values and the shape of a two-dimensional '<f8' array in C order.
bool read_npy(const char* path, std::vector<double>& values, std::size_t& n, std::size_t& d) {
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() < 10 || bytes.compare(1, 5, "NUMPY") != 0) return false;
    const std::size_t header =
        bytes[6] == 1 ? 10 + static_cast<unsigned char>(bytes[8]) + 256 * static_cast<unsigned char>(bytes[9])
                      : 12 + static_cast<unsigned char>(bytes[8]) + 256 * static_cast<unsigned char>(bytes[9]);
    const std::string dict = bytes.substr(0, header);
    if (dict.find("'<f8'") == std::string::npos || dict.find("'fortran_order': False") == std::string::npos)
        return false;
    const std::size_t shape = dict.find("'shape': (");
    if (shape == std::string::npos) return false;
    char* end = nullptr;
    n = std::strtoull(dict.c_str() + shape + 10, &end, 10);
    d = std::strtoull(end + 1, nullptr, 10);
    if (bytes.size() - header != n * d * sizeof(double)) return false;
    values.resize(n * d);
    std::memcpy(values.data(), bytes.data() + header, n * d * sizeof(double));
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_bounds file.npy k [runs [max_iters tol]]\n");
        return 2;
    }
    std::vector<double> values;
    std::size_t n = 0, d = 0;
    if (!read_npy(argv[1], values, n, d)) {
        std::fprintf(stderr, "%s: not a two-dimensional C-ordered float64 .npy file\n", argv[1]);
        return 2;
    }
    const std::size_t k = std::strtoull(argv[2], nullptr, 10);
    const int runs = argc > 3 ? std::atoi(argv[3]) : 3;
    const std::uint64_t max_iters = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 300;
    const double tol = argc > 5 ? std::strtod(argv[5], nullptr) : 1e-4;
    const kmeans::SampleMatrix x{values.data(), n, d, static_cast<std::ptrdiff_t>(d), 1};
    const char* unchanged = std::getenv("BENCH_UNCHANGED");
    const std::string use = unchanged != nullptr ? unchanged : "auto";
    if (use != "never" && use != "auto" && use != "always") {
        std::fprintf(stderr, "BENCH_UNCHANGED: never, auto or always\n");
        return 2;
    }
    kmeans::testing::set_unchanged_clusters(use == "never"    ? UnchangedClusters::Never
                                            : use == "always" ? UnchangedClusters::Always
                                                              : UnchangedClusters::Automatic);
    const char* keep = std::getenv("BENCH_KEEP");
    kmeans::testing::set_vector_keep_test(keep == nullptr || std::string(keep) != "scalar");
    const struct Mode {
        const char* name;
        ExactBoundsInFits when;
    } modes[] = {{"never", ExactBoundsInFits::Never},
                 {"when settled", ExactBoundsInFits::ByWidth},
                 {"always", ExactBoundsInFits::Always}};
    double best[3] = {std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity(),
                      std::numeric_limits<double>::infinity()};
    std::uint64_t iters[3] = {}, kept[3] = {}, centres[3] = {}, reused[3] = {};
    for (int r = 0; r < runs; ++r) {
        for (int m = 0; m < 3; ++m) {
            const char* only = std::getenv("BENCH_MODE");
            if (only != nullptr && std::strstr(modes[m].name, only) == nullptr) continue;
            kmeans::testing::set_exact_bounds_in_fits(modes[m].when);
            kmeans::KMeansModel model;
            model.params = kmeans::KMeansParams{k, max_iters, tol, 0};
            const std::uint64_t kept_before = kmeans::testing::kept_label_count();
            const std::uint64_t centres_before = kmeans::testing::kept_centre_count();
            const std::uint64_t reused_before = kmeans::testing::reused_distance_count();
            const auto t = bench::best_time([&] { (void)kmeans::fit(model, x, nullptr); }, 1, 0.0);
            best[m] = std::min(best[m], t.wall);
            iters[m] = model.n_iter_;
            kept[m] = kmeans::testing::kept_label_count() - kept_before;
            centres[m] = kmeans::testing::kept_centre_count() - centres_before;
            reused[m] = kmeans::testing::reused_distance_count() - reused_before;
        }
    }
    std::printf("%s n=%zu d=%zu k=%zu, unchanged clusters: %s\n", argv[1], n, d, k, use.c_str());
    for (int m = 0; m < 3; ++m)
        if (iters[m] != 0) {
            const double its = static_cast<double>(iters[m]);
            std::printf(
                "  %-13s %9.2f ms  %4llu iterations  kept %.1f%% of labels, %.1f%% of centres; reused %.1f%% "
                "of distances\n",
                modes[m].name, best[m] * 1e3, static_cast<unsigned long long>(iters[m]),
                100.0 * static_cast<double>(kept[m]) / (static_cast<double>(n) * its),
                100.0 * static_cast<double>(centres[m]) / (static_cast<double>(k) * its),
                100.0 * static_cast<double>(reused[m]) / (static_cast<double>(n) * its));
        }
    return 0;
}
