// package_version: the package's version, as the build passes it in.
//
// Written once, in pyproject.toml; CMake reads it from there.
#pragma once

#include <string_view>

namespace moxtile {

// The version, e.g. "0.1.3". A constant: safe from any thread.
std::string_view package_version() noexcept;

}  // namespace moxtile
