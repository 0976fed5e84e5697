#include "TavolinCore/Runtime/MainActor.hpp"

namespace tavolin {

void MainActor::run() {
  context_.restart();
  context_.run();
}

}  // namespace tavolin
