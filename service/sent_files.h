// SentFiles: what one session has sent, so that its DELE removes only the file it sent.
//
// For every name whose GET header went out in the session, the identity of the file it was
// sent from (platform::FileIdentity: volume, file number, size, last-write time, as the header
// announced them), keyed by the name's bytes exactly as the GET line gave them. A DELE takes its
// name out again, whatever its answer.
//
// At most kSentFilesLimit names are held: a name sent again is updated and becomes the newest,
// and a client that fetches more without deleting loses the oldest. From then on the memory
// cannot tell a name never sent from a forgotten one, and every name it does not hold is
// answered as Forgotten.
#pragma once

#include <cstddef>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "platform/file.h"

namespace quarv {

// Far above the agent's window of requests ahead (2048): an agent deletes a file long before
// its name is forgotten. Each name is at most a request line (under 200 bytes).
inline constexpr std::size_t kSentFilesLimit = 8192;

class SentFiles {
 public:
  enum class Found { Sent, NotSent, Forgotten };

  SentFiles() = default;
  SentFiles(const SentFiles&) = delete;
  SentFiles& operator=(const SentFiles&) = delete;

  // `name` was sent from the file `identity`.
  void Remember(const std::string& name, const platform::FileIdentity& identity);
  // Takes `name` out: Sent, with `*identity`, when it was held; NotSent when no name was ever
  // forgotten; Forgotten otherwise.
  Found Take(const std::string& name, platform::FileIdentity* identity);
  std::size_t size() const { return byName_.size(); }

 private:
  using Order = std::list<std::pair<std::string, platform::FileIdentity>>;
  Order order_;  // oldest first
  // Keys view the names held in order_, whose elements never move.
  std::unordered_map<std::string_view, Order::iterator> byName_;
  bool forgotten_ = false;
};

}  // namespace quarv
