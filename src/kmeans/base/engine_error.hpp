#pragma once
// Errors the engine returns as values. Internal failures are thrown as
// corvalinth::InternalFailure instead; memory exhaustion as std::bad_alloc.
#include <string>

#include "runtime/internal_failure.hpp"

namespace corvalinth::kmeans {

struct EngineError {
    enum class Kind {
        Value,  // raised as ValueError with `message`
        Interrupted,  // the interrupt check asked to stop; the caller holds the reason
    };
    Kind kind;
    std::string message;
};

// The internal failure of a label vector naming a centre that does not exist.
[[noreturn]] inline void label_out_of_range() { throw InternalFailure("label out of range"); }

}  // namespace corvalinth::kmeans
