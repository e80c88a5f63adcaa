// One transfer pass: connect, log in, list, fetch what is pending, delete on the service when
// configured, say goodbye.
#include <cstring>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "agent/console_output.h"
#include "agent/fetch_agent.h"
#include "agent/partial_file.h"
#include "agent/request_window.h"
#include "agent/requests.h"
#include "common/md5.h"
#include "common/protocol.h"
#include "common/split_token.h"
#include "common/wire_number.h"
#include "platform/file.h"
#include "platform/paths.h"

namespace quarv::agent {

int FetchAgent::RunPass(const char* host, int port, const char* password, const char* base,
                        int* notFetched) {
  *notFetched = -1;
  namesBeyondTable_ = 0;
  char prefix[kPathCapacity];
  localBase = platform::FormBasePrefix(base, prefix, sizeof prefix) ? prefix : "";

  if (!Connect(host, port)) return -1;
  std::vector<std::string> pending;
  if (!Login(password) || !List(&pending, notFetched)) return EndPassOnError(0);
  int finished = 0;
  if (!FetchPending(&pending, notFetched, &finished)) return EndPassOnError(finished);
  Send(kQuitRequest);
  connection.Flush();
  connection.Close();
  Say(Message::Disconnected);
  return finished;
}

void FetchAgent::Send(const std::string& text) {
  // Queued: the requests leave while replies are read. A failed send shows as a missing reply.
  if (!text.empty()) connection.Queue(text);
}

int FetchAgent::EndPassOnError(int finished) {
  connection.Close();
  Say(Message::PassError);
  return finished;
}

bool FetchAgent::Connect(const char* host, int port) {
  // The port is 1 to 65535 here: RunAgent ends the run for any other.
  Say(Message::Connecting, host, port);
  connection.SetReceiveTimeout(static_cast<std::uint32_t>(idleTimeout.count()));
  if (!connection.Connect(host, static_cast<std::uint16_t>(port))) {
    connection.Close();
    Say(Message::ConnectFailed, host, port);
    return false;
  }
  // Without keepalive the idle timeout still ends a connection that went silent.
  connection.EnableKeepAlive();
  return true;
}

bool FetchAgent::Login(const char* password) {
  Say(Message::LoggingIn);
  Send(kHeloRequest);
  if (!connection.ReadLine(line_.data(), kReplyLineLimit)) return false;
  if (!IsAccepted(line_.data())) {
    Say(Message::UnknownReply);
    return false;
  }
  const char* challenge = SplitToken(line_.data());
  if (challenge == nullptr) {
    Say(Message::InvalidReply);
    return false;
  }
  const std::string loginText = std::string(challenge) + ":" + password;
  Send(EnterRequest(Md5HexOf(loginText.data(), static_cast<std::uint32_t>(loginText.size()))));
  if (!connection.ReadLine(line_.data(), kReplyLineLimit)) return false;
  if (!IsAccepted(line_.data())) {
    Say(Message::LoginFailed);
    return false;
  }
  Say(Message::LoggedIn);
  return true;
}

bool FetchAgent::List(std::vector<std::string>* pending, int* notFetched) {
  Say(Message::Listing);
  Send(kListRequest);
  if (!connection.ReadLine(line_.data(), kReplyLineLimit)) return false;
  if (!IsAccepted(line_.data())) {
    Say(Message::ListFailed);
    return false;
  }
  int present = 0;
  if (!ReadList(pending, &present)) return false;
  // The files left beyond the table wait for the next pass: they count as not fetched, so that
  // this pass never reads as a complete success.
  *notFetched = namesBeyondTable_;
  if (present != 0) Say(Message::PresentCount, present);
  Say(Message::PendingCount, static_cast<int>(pending->size()));
  return true;
}

bool FetchAgent::ReadList(std::vector<std::string>* pending, int* present) {
  // The record being gathered. The size is cleared only at the start of the list.
  std::string name;
  std::uint32_t timeLow = 0, timeHigh = 0, sizeLow = 0, sizeHigh = 0;
  // The pending names by the key of the local file system (platform::EntryKey). A name listed
  // again (by a service whose directory changed while it listed, or a hostile one) is taken once:
  // fetched twice into one partial file, its second rename would fail, and the first copy might
  // be deleted on the service with nothing left here.
  std::unordered_set<std::string> pendingKeys;
  namesBeyondTable_ = 0;
  pendingSizes_.clear();
  pendingTimes_.clear();
  for (;;) {
    if (!connection.ReadLine(line_.data(), kReplyLineLimit)) return false;
    const bool terminator = line_[0] == '.';
    const bool endsRecord = terminator || line_[0] == '\0';
    // A number line without its second word leaves the record's words as they were.
    if (const char* value = SplitToken(line_.data())) {
      const char* key = line_.data();
      if (std::strcmp(key, kNameKey) == 0) {
        name = value;
      } else if (std::strcmp(key, kTimeKey) == 0) {
        (void)ParseWords(value, &timeLow, &timeHigh);
      } else if (std::strcmp(key, kSizeKey) == 0) {
        (void)ParseWords(value, &sizeLow, &sizeHigh);
      }
    }
    if (!endsRecord) continue;

    // No directory entry has a longer name, so such a record is ignored like a nameless one.
    if (!name.empty() && name.size() <= kMaxNameLength && (timeLow != 0 || timeHigh != 0)) {
      std::string key = platform::EntryKey(name.c_str());
      if (pendingKeys.count(key) != 0) {
        // Listed again: the first record stands.
      } else if (IsPresentLocally(name.c_str(), timeLow, timeHigh)) {
        ++*present;
      } else if (sizeLow == 0 && sizeHigh == 0) {
        Say(Message::EmptyFileSkipped, name.c_str());
      } else if (pending->size() < kMaxPendingNames) {
        pendingKeys.insert(std::move(key));
        pending->push_back(name);
        pendingSizes_.push_back(platform::MakeWide(sizeLow, sizeHigh));
        pendingTimes_.push_back(platform::MakeWide(timeLow, timeHigh));
      } else {
        // The table is full. The rest of the block is still read, so that the next line read
        // is the reply to the first GET; its pending files are only counted.
        ++namesBeyondTable_;
      }
    }
    name.clear();
    timeLow = timeHigh = 0;
    if (terminator) return true;
  }
}

bool FetchAgent::IsPresentLocally(const char* name, std::uint32_t lastWriteLow,
                                  std::uint32_t lastWriteHigh) {
  // A name that would leave the base directory is never looked up.
  if (!LocalPathFits(name, kPresentPathLimit) || !IsSafeLocalName(name)) return false;
  const std::string path = localBase + name;
  platform::FileTime localTime = 0;
  if (!platform::FindEntry(path.c_str(), &localTime)) return false;
  if (!checkFileTime) return true;
  return localTime == platform::MakeWide(lastWriteLow, lastWriteHigh);
}

bool FetchAgent::FetchPending(std::vector<std::string>* pending, int* notFetched, int* finished) {
  // Requests go ahead only while fetches succeed (the first file of a pass goes alone) and never
  // past a file that must go in lock step. A file with a partial file goes ahead with the offset
  // its listed size and time give; its header is checked against it. With DELETEFILE the files
  // fetched are held for one sync of many and then deleted together (server_deletes.cpp), or,
  // where the file system cannot be synced in one call, each file's DELE goes out with the
  // window's refill once that file is on stable storage. Each DELE's reply is read where it
  // stands among the replies, and the console output after the file's lines is held until then,
  // so that the console keeps its order.
  RequestWindow ahead(pending->size());
  const RequestWindow::Chooser choose = [this](std::size_t index, const std::string& name,
                                               std::uint64_t* offset) {
    return WindowChoiceFor(index, name, offset);
  };
  deletes_.clear();
  deleteReplyLost_ = false;
  held_.clear();
  syncInBatches_ = deleteFile && platform::CanFlushFileSystem();
  bool sendAhead = false;
  for (std::size_t index = 0; index < pending->size(); ++index) {
    if (sendAhead) Send(ahead.Refill(index, *pending, choose));
    const std::string name = std::exchange((*pending)[index], std::string());  // entry released
    // A request not sent ahead is sent now, behind the DELEs of every file fetched before it; a
    // name never asked for sends nothing, and the replies outstanding are read where they stand.
    const bool asksNow = !ahead.WentAhead(index) && IsAskedFor(name.c_str());
    if (asksNow) PutHeldInPlace(index, ahead, true, finished, notFetched);
    ReadDeletesBefore(index, asksNow);
    Say(Message::FileBanner, name.c_str());
    const FetchResult result =
        Fetch(name.c_str(), notFetched,
              ahead.WentAhead(index) ? std::optional(ahead.OffsetAhead(index)) : std::nullopt);
    ahead.Done(index, name);
    sendAhead = result == FetchResult::Fetched && (!deleteFile || syncInBatches_);
    if (result == FetchResult::AbortPass || result == FetchResult::EndPass) {
      // DELEs go out only while the service reads requests in turn: not once the connection is
      // lost, nor while the service waits for this file's offset line.
      const bool inTurn =
          result == FetchResult::EndPass && (ahead.WentAhead(index) || unreadBody_.has_value());
      PutHeldInPlace(index + 1, ahead, inTurn, finished, notFetched);
      if (result == FetchResult::EndPass) SettleDeletesAtEnd(index, ahead, pending->size());
      SettleDeletesUnread();
      ReleaseConsole();
      return result == FetchResult::EndPass;
    }
    if (result == FetchResult::Fetched) {
      ++*finished;
      if (syncInBatches_) {
        OpenConsolePlace();
        if (held_.size() >= kFilesPerSync) {
          PutHeldInPlace(index + 1, ahead, true, finished, notFetched);
        }
      } else if (deleteFile) {
        DeleteFetched(name, *pending, index + 1, ahead);
      }
    }
  }
  PutHeldInPlace(pending->size(), ahead, true, finished, notFetched);
  ReadDeletesBefore(pending->size(), true);
  return true;
}

AheadChoice FetchAgent::AheadChoiceFor(std::size_t index, const std::string& name,
                                       std::uint64_t* offset) const {
  // A name that is fetched (safe, its paths fit) goes ahead. Without a partial file it asks for
  // the whole file; with one, for the offset the resume would take if the header said what the
  // list said. The fetch checks that against the header when it arrives.
  *offset = 0;
  if (!IsAskedFor(name.c_str())) return AheadChoice::Never;
  if (!LocalPathFits(name.c_str(), kFetchPathLimit)) return AheadChoice::LockStep;
  const std::string partialPath = PartialFile::PathOf(localBase, name.c_str());
  platform::FileTime partialTime = 0;
  std::uint64_t partialSize = 0;
  if (!platform::FindEntry(partialPath.c_str(), &partialTime, &partialSize)) {
    return AheadChoice::Ahead;
  }
  if (index >= pendingSizes_.size() || index >= pendingTimes_.size()) return AheadChoice::LockStep;
  *offset = PartialFile::ResumeOffsetFor(partialSize, partialTime, pendingSizes_[index],
                                         pendingTimes_[index]);
  return AheadChoice::Ahead;
}

AheadChoice FetchAgent::WindowChoiceFor(std::size_t index, const std::string& name,
                                        std::uint64_t* offset) const {
  const AheadChoice choice = AheadChoiceFor(index, name, offset);
  if (choice == AheadChoice::Ahead && deleteFile && index < pendingSizes_.size() &&
      pendingSizes_[index] > kLargestFileAheadOfDeletes) {
    return AheadChoice::LockStep;
  }
  return choice;
}

}  // namespace quarv::agent
