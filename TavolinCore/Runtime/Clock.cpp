#include "TavolinCore/Runtime/Clock.hpp"

#include <time.h>

namespace tavolin {

std::uint64_t monotonicUptimeNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u +
         static_cast<std::uint64_t>(now.tv_nsec);
}

}  // namespace tavolin
