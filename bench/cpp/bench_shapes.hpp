#pragma once
// The benchmark shapes: named lists read from bench/shapes.txt, the one list the C++ and Python benchmarks share.
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#ifndef CORVALINTH_BENCH_SHAPES
#error "CORVALINTH_BENCH_SHAPES must name bench/shapes.txt (bench/cpp/CMakeLists.txt defines it)"
#endif

namespace corvalinth::bench {

// A problem shape: n_samples, n_features, n_clusters.
struct Shape {
    std::size_t n, d, k;
};

// The shapes of list `name` ("[name]" in the file), in file order. The file is
// BENCH_SHAPES when set, else the source tree's bench/shapes.txt. A benchmark
// cannot run without its shapes: a missing file, a malformed line or an empty
// list ends the program with a message.
inline std::vector<Shape> shape_list(const std::string& name) {
    const char* from_env = std::getenv("BENCH_SHAPES");
    const std::string path = from_env != nullptr ? from_env : CORVALINTH_BENCH_SHAPES;
    std::ifstream in(path);
    if (!in) {
        std::fprintf(stderr, "cannot read the benchmark shapes from %s\n", path.c_str());
        std::exit(2);
    }
    std::vector<Shape> shapes;
    std::string line, list;
    for (int number = 1; std::getline(in, line); ++number) {
        line = line.substr(0, line.find('#'));
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        const std::size_t open = line.find('[');
        if (open != std::string::npos) {
            list = line.substr(open + 1, line.find(']') - open - 1);
            continue;
        }
        if (list != name) continue;
        std::istringstream fields(line);
        Shape s{};
        std::string rest;
        if (!(fields >> s.n >> s.d >> s.k) || (fields >> rest)) {
            std::fprintf(stderr, "%s:%d: expected \"n_samples n_features n_clusters\"\n", path.c_str(), number);
            std::exit(2);
        }
        shapes.push_back(s);
    }
    if (shapes.empty()) {
        std::fprintf(stderr, "%s has no shapes in list [%s]\n", path.c_str(), name.c_str());
        std::exit(2);
    }
    return shapes;
}

}  // namespace corvalinth::bench
