// The test seam's one stored pointer (operation_seam.h). Portable: both systems' sides call it.
#include "platform/operation_seam.h"

namespace quarv::platform {

namespace seam {

std::atomic<OperationObserver*> installedObserver{nullptr};

bool Tell(OperationObserver* observer, const OperationEvent& event) {
  return observer->Proceed(event);
}

}  // namespace seam

void InstallOperationObserver(OperationObserver* observer) {
  // The loads are relaxed: a thread started after this store, or this thread itself, sees the
  // observer whole; that is why it is installed before the threads it is to see start.
  seam::installedObserver.store(observer, std::memory_order_relaxed);
}

}  // namespace quarv::platform
