#include "agent/server_deletes.h"

#include <array>
#include <string>
#include <utility>
#include <vector>

#include "agent/console_output.h"
#include "agent/fetch_agent.h"
#include "agent/partial_file.h"
#include "agent/request_window.h"
#include "agent/requests.h"
#include "platform/file.h"

namespace quarv::agent {

void ServerDeletes::Hold(HeldFile file) {
  held_.push_back(std::move(file));
  OpenConsolePlace();
}

int ServerDeletes::PutHeldInPlace(std::size_t before, bool deleting) {
  if (held_.empty()) return 0;
  const bool synced = platform::FlushFileSystem(agent_.localBase.c_str());
  std::vector<bool> inPlace;
  inPlace.reserve(held_.size());
  const std::string* anyInPlace = nullptr;
  int notInPlace = 0;
  for (const HeldFile& file : held_) {
    inPlace.push_back(PartialFile::PutInPlace(file.partialPath, file.finalPath));
    if (inPlace.back()) {
      anyInPlace = &file.finalPath;
    } else {
      ++notInPlace;
    }
  }
  // Every file is an entry of the base directory: one sync of it holds all the new names.
  const bool durable =
      synced && anyInPlace != nullptr && platform::FlushDirectoryEntry(anyInPlace->c_str());
  for (std::size_t i = 0; i < held_.size(); ++i) {
    const std::string& name = held_[i].name;
    Outstanding outcome{name, before, false, std::string()};
    if (!inPlace[i]) {
      outcome.text = FormatMessage(Message::RenameFailed);
    } else if (!deleting) {
      // Said of no file, as when the reply to its DELE is lost.
    } else if (!durable || name.size() > kLongestDeleteName) {
      outcome.text = FormatMessage(Message::ServerDeleteFailed, name.c_str());
    } else {
      agent_.DeleteOnServer(name.c_str());
      outcome.replyExpected = true;
    }
    outstanding_.push_back(std::move(outcome));
  }
  held_.clear();
  return notInPlace;
}

void ServerDeletes::DeleteFetched(const std::string& name, bool durable, std::size_t before) {
  // The local copy might not survive a crash yet, or the name does not fit a DELE line that the
  // service takes: then the service keeps its own copy.
  if (!durable || name.size() > kLongestDeleteName) {
    Say(Message::ServerDeleteFailed, name.c_str());
    return;
  }
  agent_.DeleteOnServer(name.c_str());
  outstanding_.push_back(Outstanding{name, before, true, std::string()});
  OpenConsolePlace();
}

void ServerDeletes::ReadRepliesBefore(std::size_t index, bool all) {
  std::array<char, kDeleteLineLimit> line{};
  while (!outstanding_.empty() && (all || outstanding_.front().before <= index)) {
    Outstanding& outcome = outstanding_.front();
    std::string text = outcome.text;
    // A lost reply says nothing; the lost connection shows at the next request.
    if (outcome.replyExpected && !replyLost_ &&
        !agent_.connection.ReadLine(line.data(), kDeleteLineLimit)) {
      replyLost_ = true;
    }
    if (outcome.replyExpected && !replyLost_) {
      const char* deleted = outcome.name.c_str();
      text = FetchAgent::IsAccepted(line.data())
                 ? FormatMessage(Message::ServerFileDeleted, deleted)
                 : FormatMessage(Message::ServerDeleteFailed, deleted);
    }
    outstanding_.pop_front();
    SettleConsolePlace(text);
  }
}

void ServerDeletes::ReadRepliesAtEnd(std::size_t index, std::size_t fileCount,
                                     const RequestWindow& window,
                                     std::optional<std::uint64_t> unreadBody) {
  // The replies of the DELEs sent after the request of the file the pass ended at come after
  // the rest of that file's exchange and the exchanges sent ahead before them.
  // With none outstanding, the rest of the body is not read: the pass ends at once.
  Connection& connection = agent_.connection;
  bool inStep = RepliesOutstanding() && unreadBody.has_value() &&
                FileFetch::DrainBody(connection, *unreadBody);
  for (std::size_t next = index + 1; inStep && RepliesOutstanding() && next <= fileCount; ++next) {
    ReadRepliesBefore(next, false);
    if (replyLost_) break;
    if (RepliesOutstanding() && next < fileCount && window.WentAhead(next)) {
      inStep = FileFetch::DrainExchange(connection, window.OffsetAhead(next));
    }
  }
}

void ServerDeletes::SettleUnread() {
  replyLost_ = true;
  ReadRepliesBefore(0, true);
}

bool ServerDeletes::RepliesOutstanding() const {
  for (const Outstanding& outcome : outstanding_) {
    if (outcome.replyExpected) return true;
  }
  return false;
}

}  // namespace quarv::agent
