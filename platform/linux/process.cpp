#include "platform/process.h"

#include <csignal>

namespace quarv::platform {

void TakeFileSizeLimitAsWriteError() {
  (void)std::signal(SIGXFSZ, SIG_IGN);
}

}  // namespace quarv::platform
