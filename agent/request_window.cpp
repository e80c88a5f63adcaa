#include "agent/request_window.h"

#include <algorithm>

#include "agent/fetch_agent.h"
#include "agent/file_fetch.h"
#include "agent/partial_file.h"
#include "platform/file.h"

namespace quarv::agent {

RequestWindow::RequestWindow(const std::vector<PendingFile>& pending, const std::string& localBase,
                             bool deleting)
    : pending_(pending),
      localBase_(localBase),
      deleting_(deleting),
      wentAhead_(pending.size(), false),
      offsets_(pending.size(), 0) {}

AheadChoice RequestWindow::Choose(std::size_t index, bool besideDelete,
                                  std::uint64_t* offset) const {
  *offset = 0;
  const PendingFile& file = pending_[index];
  const char* name = file.name.c_str();
  if (!FetchAgent::IsAskedFor(name)) return AheadChoice::Never;
  if (!LocalPathFits(localBase_, name, kFetchPathLimit)) return AheadChoice::LockStep;
  const std::string partialPath = PartialFile::PathOf(localBase_, name);
  platform::FileTime partialTime = 0;
  std::uint64_t partialSize = 0;
  if (platform::FindEntry(partialPath.c_str(), &partialTime, &partialSize)) {
    *offset = PartialFile::ResumeOffsetFor(partialSize, partialTime, file.size, file.time);
  }
  if (!besideDelete && deleting_ && file.size > kLargestFileAheadOfDeletes) {
    return AheadChoice::LockStep;
  }
  return AheadChoice::Ahead;
}

std::string RequestWindow::Refill(std::size_t index) {
  std::string batch;
  if (files_ > kAheadRefill) return batch;
  considered_ = std::max(considered_, index);
  while (considered_ < pending_.size() && files_ < kAheadFiles) {
    std::uint64_t offset = 0;
    const AheadChoice choice = Choose(considered_, false, &offset);
    if (choice == AheadChoice::Never) {
      ++considered_;
      continue;
    }
    if (choice == AheadChoice::LockStep ||
        bytes_ + FileFetch::AheadRequest(pending_[considered_].name, offset).size() > kAheadBytes) {
      break;
    }
    Take(considered_++, &batch, offset);
  }
  return batch;
}

std::string RequestWindow::TakeBesideDelete(std::size_t index) {
  std::string requests;
  std::uint64_t offset = 0;
  if (index < pending_.size() && !wentAhead_[index] &&
      Choose(index, true, &offset) == AheadChoice::Ahead) {
    Take(index, &requests, offset);
  }
  return requests;
}

void RequestWindow::Take(std::size_t index, std::string* requests, std::uint64_t offset) {
  const std::string request = FileFetch::AheadRequest(pending_[index].name, offset);
  *requests += request;
  bytes_ += request.size();
  ++files_;
  wentAhead_[index] = true;
  offsets_[index] = offset;
}

void RequestWindow::Done(std::size_t index, const std::string& name) {
  if (!wentAhead_[index]) return;
  --files_;
  bytes_ -= FileFetch::AheadRequest(name, offsets_[index]).size();
}

}  // namespace quarv::agent
