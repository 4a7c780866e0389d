#pragma once
// Errors the engine returns as values. Internal failures are thrown as
// corvalinth::InternalFailure instead; memory exhaustion as std::bad_alloc.
#include <string>

namespace corvalinth::kmeans {

struct EngineError {
    enum class Kind {
        Value,        // raised as ValueError with `message`
        Interrupted,  // the interrupt check asked to stop; the caller holds the reason
    };
    Kind kind;
    std::string message;
};

}  // namespace corvalinth::kmeans
