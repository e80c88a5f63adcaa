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
    std::uint64_t offset = 0;
    const AheadChoice choice = choose(considered_, name, &offset);
    if (choice == AheadChoice::Never) {
      ++considered_;
      continue;
    }
    if (choice == AheadChoice::LockStep ||
        bytes_ + GetAheadRequest(name, offset).size() > kAheadBytes) {
      break;
    }
    Take(considered_++, name, &batch, offset);
  }
  return batch;
}

void RequestWindow::Take(std::size_t index, const std::string& name, std::string* requests,
                         std::uint64_t offset) {
  const std::string request = GetAheadRequest(name, offset);
  *requests += request;
  bytes_ += request.size();
  ++files_;
  wentAhead_[index] = true;
  offsets_[index] = offset;
}

void RequestWindow::Done(std::size_t index, const std::string& name) {
  if (!wentAhead_[index]) return;
  --files_;
  bytes_ -= GetAheadRequest(name, offsets_[index]).size();
}

}  // namespace quarv::agent
