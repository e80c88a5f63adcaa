// The service's copies of the files fetched, deleted with DELETEFILE once the local copies are on
// stable storage: file by file, or, where the file system can be synced in one call, for many
// files held whole in their partial files at once. Each DELE's reply is read where it stands
// among the replies of the requests sent ahead, and its message waits in its console place.
#include <cstring>
#include <string>
#include <vector>

#include "agent/console_output.h"
#include "agent/fetch_agent.h"
#include "agent/partial_file.h"
#include "agent/request_window.h"
#include "agent/requests.h"
#include "common/protocol.h"
#include "common/split_token.h"
#include "common/wire_number.h"
#include "platform/file.h"

namespace quarv::agent {

void FetchAgent::PutHeldInPlace(std::size_t next, const RequestWindow& ahead, bool deleting,
                                int* finished, int* notFetched) {
  if (held_.empty()) return;
  const bool synced = platform::FlushFileSystem(localBase.c_str());
  std::vector<bool> inPlace;
  inPlace.reserve(held_.size());
  const std::string* anyInPlace = nullptr;
  for (const HeldFile& file : held_) {
    inPlace.push_back(PartialFile::PutInPlace(file.partialPath, file.finalPath));
    if (inPlace.back()) {
      anyInPlace = &file.finalPath;
    } else {
      --*finished;
      ++*notFetched;
    }
  }
  // Every file is an entry of the base directory: one sync of it holds all the new names.
  const bool durable =
      synced && anyInPlace != nullptr && platform::FlushDirectoryEntry(anyInPlace->c_str());
  std::string requests;
  const std::size_t before = ahead.NextToConsider(next);
  for (std::size_t i = 0; i < held_.size(); ++i) {
    const std::string& name = held_[i].name;
    OutstandingDelete outcome{name, before, false, std::string()};
    if (!inPlace[i]) {
      outcome.text = FormatMessage(Message::RenameFailed);
    } else if (!deleting) {
      // Said of no file, as when the reply to its DELE is lost.
    } else if (!durable || name.size() > kLongestDeleteName) {
      outcome.text = FormatMessage(Message::ServerDeleteFailed, name.c_str());
    } else {
      requests += DeleteRequest(name);
      outcome.replyExpected = true;
    }
    deletes_.push_back(std::move(outcome));
  }
  held_.clear();
  Send(requests);
}

void FetchAgent::DeleteFetched(const std::string& name, const std::vector<std::string>& pending,
                               std::size_t next, RequestWindow& ahead) {
  // The local copy might not survive a crash yet, or the name does not fit a DELE line that the
  // service takes: then the service keeps its own copy.
  const bool deleting = fetchedDurably_ && name.size() <= kLongestDeleteName;
  if (!deleting) Say(Message::ServerDeleteFailed, name.c_str());
  std::string requests = deleting ? DeleteRequest(name) : std::string();
  const std::size_t before = ahead.NextToConsider(next);
  const RequestWindow::Chooser choose = [this](std::size_t index, const std::string& file,
                                               std::uint64_t* offset) {
    return WindowChoiceFor(index, file, offset);
  };
  requests += ahead.Refill(next, pending, choose);
  // A large next file still goes with the DELE: its reply comes after the DELE's, so that nothing
  // is held while its body arrives.
  std::uint64_t offset = 0;
  if (next < pending.size() && !ahead.WentAhead(next) &&
      AheadChoiceFor(next, pending[next], &offset) == AheadChoice::Ahead) {
    ahead.Take(next, pending[next], &requests, offset);
  }
  Send(requests);
  if (deleting) {
    deletes_.push_back(OutstandingDelete{name, before, true, std::string()});
    OpenConsolePlace();
  }
}

void FetchAgent::ReadDeletesBefore(std::size_t index, bool all) {
  while (!deletes_.empty() && (all || deletes_.front().before <= index)) {
    OutstandingDelete& outcome = deletes_.front();
    std::string text = outcome.text;
    // A lost reply says nothing; the lost connection shows at the next request.
    if (outcome.replyExpected && !deleteReplyLost_ &&
        !connection.ReadLine(line_.data(), kDeleteLineLimit)) {
      deleteReplyLost_ = true;
    }
    if (outcome.replyExpected && !deleteReplyLost_) {
      const char* deleted = outcome.name.c_str();
      text = IsAccepted(line_.data()) ? FormatMessage(Message::ServerFileDeleted, deleted)
                                      : FormatMessage(Message::ServerDeleteFailed, deleted);
    }
    deletes_.pop_front();
    SettleConsolePlace(text);
  }
}

void FetchAgent::SettleDeletesUnread() {
  deleteReplyLost_ = true;
  ReadDeletesBefore(0, true);
}

void FetchAgent::SettleDeletesAtEnd(std::size_t index, const RequestWindow& ahead,
                                    std::size_t fileCount) {
  // The replies of the DELEs sent after the request of the file the pass ended at come after
  // the rest of that file's exchange and the exchanges sent ahead before them.
  // With none outstanding, the rest of the body is not read: the pass ends at once.
  bool inStep = DeleteRepliesOutstanding() && unreadBody_.has_value() && DrainBody(*unreadBody_);
  for (std::size_t next = index + 1; inStep && DeleteRepliesOutstanding() && next <= fileCount;
       ++next) {
    ReadDeletesBefore(next, false);
    if (deleteReplyLost_) break;
    if (DeleteRepliesOutstanding() && next < fileCount && ahead.WentAhead(next)) {
      inStep = DrainExchange(ahead.OffsetAhead(next));
    }
  }
}

bool FetchAgent::DeleteRepliesOutstanding() const {
  for (const OutstandingDelete& outcome : deletes_) {
    if (outcome.replyExpected) return true;
  }
  return false;
}

bool FetchAgent::DrainExchange(std::uint64_t offset) {
  if (!connection.ReadLine(line_.data(), kReplyLineLimit)) return false;
  if (!IsAccepted(line_.data())) {
    // The offset line that went with it is answered as an unknown command.
    return connection.ReadLine(line_.data(), kReplyLineLimit) && !IsAccepted(line_.data());
  }
  std::uint64_t size = 0;
  for (;;) {
    if (!connection.ReadLine(line_.data(), kReplyLineLimit)) return false;
    if (line_[0] == '\0') break;
    const char* value = SplitToken(line_.data());
    std::uint32_t low = 0, high = 0;
    if (value != nullptr && std::strcmp(line_.data(), kSizeKey) == 0 &&
        ParseWords(value, &low, &high)) {
      size = platform::MakeWide(low, high);
    }
  }
  return size != 0 && DrainBody(BodyLength(size, offset));
}

bool FetchAgent::DeleteOnServer(const char* name) {
  Send(DeleteRequest(name));
  return ReadDeleteReply(name);
}

bool FetchAgent::ReadDeleteReply(const char* name) {
  if (!connection.ReadLine(line_.data(), kDeleteLineLimit)) return false;
  if (IsAccepted(line_.data())) {
    Say(Message::ServerFileDeleted, name);
  } else {
    Say(Message::ServerDeleteFailed, name);
  }
  return true;
}

}  // namespace quarv::agent
