// SentFiles: the names a session has sent and the files they were sent from.
#include "service/sent_files.h"

#include <iterator>

namespace quarv {

void SentFiles::Remember(const std::string& name, const platform::FileIdentity& identity) {
  const auto held = byName_.find(name);
  if (held != byName_.end()) {
    held->second->second = identity;
    order_.splice(order_.end(), order_, held->second);  // the newest now
    return;
  }
  if (byName_.size() >= kSentFilesLimit) {
    byName_.erase(order_.front().first);
    order_.pop_front();
    forgotten_ = true;
  }
  order_.emplace_back(name, identity);
  byName_.emplace(order_.back().first, std::prev(order_.end()));
}

SentFiles::Found SentFiles::Take(const std::string& name, platform::FileIdentity* identity) {
  const auto held = byName_.find(name);
  if (held == byName_.end()) return forgotten_ ? Found::Forgotten : Found::NotSent;
  const Order::iterator entry = held->second;
  *identity = entry->second;
  byName_.erase(held);  // before the name it views goes
  order_.erase(entry);
  return Found::Sent;
}

}  // namespace quarv
