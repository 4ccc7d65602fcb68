// The system property that keeps the enable state for the host. The
// library stores and reports it; navctl shows it.
#pragma once

namespace krv {

constexpr const char* kEnableProperty = "persist.korrivan.nav";

}  // namespace krv
