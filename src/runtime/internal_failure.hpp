#pragma once
// An internal failure: a broken invariant or an impossible state. It unwinds
// (as a C++ exception) to the nearest interpreter boundary, which raises it as
// PanicException carrying the message. Worker-pool pieces that throw it have
// it carried back to the calling thread.
#include <stdexcept>
#include <string>

namespace corvalinth {

class InternalFailure : public std::runtime_error {
public:
    explicit InternalFailure(const std::string& message) : std::runtime_error(message) {}
    explicit InternalFailure(const char* message) : std::runtime_error(message) {}
};

}  // namespace corvalinth
