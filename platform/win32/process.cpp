#include "platform/process.h"

namespace quarv::platform {

void TakeFileSizeLimitAsWriteError() {}

}  // namespace quarv::platform
