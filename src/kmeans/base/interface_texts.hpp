#pragma once
// The engine's fixed texts that Python code sees, word for word: its value
// errors and the internal failures of degenerate inputs. tests/python
// (test_errors.py, test_methods.py) and the C++ fit tests pin every one.
#include "runtime/interface_texts.hpp"

namespace corvalinth::kmeans::texts {

inline constexpr const char* kTooFewSamples = "n_samples < n_clusters";
inline constexpr const char* kNotFitted = "Model not fitted yet. Call fit() first.";
inline constexpr const char* kEmptyRange = runtime::texts::kEmptyRange;
inline constexpr const char* kNoClusters = "assertion failed: index < dim";

}  // namespace corvalinth::kmeans::texts
