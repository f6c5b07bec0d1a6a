#include "base/version.h"

#ifndef MOXTILE_VERSION
#error "MOXTILE_VERSION must be defined by the build"
#endif

namespace moxtile {

std::string_view package_version() noexcept { return MOXTILE_VERSION; }

}  // namespace moxtile
