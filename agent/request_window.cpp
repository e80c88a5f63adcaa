#include "agent/request_window.h"

#include <algorithm>

#include "agent/requests.h"

namespace quarv::agent {

std::string RequestWindow::Refill(std::size_t index, const std::vector<std::string>& pending,
                                  const Chooser& choose) {
  std::string batch;
  if (files_ > kAheadRefill) return batch;
  considered_ = std::max(considered_, index);
  while (considered_ < pending.size() && files_ < kAheadFiles) {
    const std::string& name = pending[considered_];
    const AheadChoice choice = choose(considered_, name);
    if (choice == AheadChoice::Never) {
      ++considered_;
      continue;
    }
    if (choice == AheadChoice::LockStep ||
        bytes_ + GetWholeFileRequest(name).size() > kAheadBytes) {
      break;
    }
    Take(considered_++, name, &batch);
  }
  return batch;
}

void RequestWindow::Take(std::size_t index, const std::string& name, std::string* requests) {
  const std::string request = GetWholeFileRequest(name);
  *requests += request;
  bytes_ += request.size();
  ++files_;
  wentAhead_[index] = true;
}

void RequestWindow::Done(std::size_t index, const std::string& name) {
  if (!wentAhead_[index]) return;
  --files_;
  bytes_ -= GetWholeFileRequest(name).size();
}

}  // namespace quarv::agent
