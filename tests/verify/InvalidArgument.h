#pragma once

#include <stdexcept>
#include <string>

namespace glintward {

// The message of the std::invalid_argument that f throws, or a text saying it threw none.
template <class F>
std::string invalidArgumentOf(F&& f) {
    try {
        f();
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "no invalid_argument";
}

}  // namespace glintward
