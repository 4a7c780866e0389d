#pragma once
// Fault injection for tests only: scales the filters' certified margins. With
// a scale below 1 the filtered assignment is no longer proven exact, and
// tests check that it then does go wrong on data built for it. Also counts
// the samples the float32 stage decided, so tests can see that it ran.
#include <cstddef>

namespace corvalinth::kmeans::testing {

// Process-wide; 1 by default. Not for use while a pass is running.
void set_filter_margin_scale(double scale);
double filter_margin_scale();

// The float32 stage's margin: its relative part (from the norms) and its
// absolute part (underflow) scaled apart. Process-wide; 1 and 1 by default.
void set_filter32_margin_scales(double relative, double absolute);
double filter32_relative_scale();
double filter32_absolute_scale();

// Samples decided by the float32 stage since the process started, over all
// threads (updated once per range).
std::size_t filter32_decided_total();

}  // namespace corvalinth::kmeans::testing
