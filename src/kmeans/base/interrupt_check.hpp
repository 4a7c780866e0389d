#pragma once
// The fit's way to ask its caller whether to stop.
#include <functional>

namespace corvalinth::kmeans {

// Called on the calling thread between seeding steps (every few milliseconds
// of work) and at the start of every Lloyd iteration, never while workers are
// busy. Returns true to stop the fit (the caller keeps the reason, e.g. a
// pending interpreter exception). An empty check never stops.
using InterruptCheck = std::function<bool()>;

}  // namespace corvalinth::kmeans
