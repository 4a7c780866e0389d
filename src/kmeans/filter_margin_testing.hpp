#pragma once
// Fault injection for tests only: scales the filter's certified margin. With
// the scale below 1 the filtered assignment is no longer proven exact, and
// tests check that it then does go wrong on data built for it.
namespace corvalinth::kmeans::testing {

// Process-wide; 1 by default. Not for use while a pass is running.
void set_filter_margin_scale(double scale);
double filter_margin_scale();

}  // namespace corvalinth::kmeans::testing
