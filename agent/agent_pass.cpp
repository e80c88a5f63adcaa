// One transfer pass: connect, log in, list, fetch what is pending, delete on the service when
// configured, say goodbye.
#include "agent/agent_pass.h"

#include <cstring>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "agent/console_output.h"
#include "agent/fetch_agent.h"
#include "agent/request_window.h"
#include "agent/requests.h"
#include "agent/server_deletes.h"
#include "common/md5.h"
#include "common/protocol.h"
#include "common/split_token.h"
#include "common/wire_number.h"
#include "platform/file.h"
#include "platform/paths.h"

namespace quarv::agent {

namespace {

// HOST as the messages show it before ":port": an IPv6 address in brackets, as it may be
// written in the settings too.
std::string ShownHost(const char* host) {
  std::string text = host;
  if (text.find(':') == std::string::npos || text.front() == '[') return text;
  return "[" + text + "]";
}

}  // namespace

AgentPass::AgentPass(FetchAgent& agent) : agent_(agent), connection_(agent.connection) {}

AgentPass::Result AgentPass::Run(const char* host, int port, const char* password) {
  result_ = Result{};
  if (!Connect(host, port)) return result_;
  result_.finished = 0;
  if (!Login(password) || !List() || !FetchPending()) {
    EndOnError();
    return result_;
  }
  Send(kQuitRequest);
  connection_.Flush();
  connection_.Close();
  Say(Message::Disconnected);
  return result_;
}

void AgentPass::Send(const std::string& text) {
  // Queued: the requests leave while replies are read. A failed send shows as a missing reply.
  if (!text.empty()) connection_.Queue(text);
}

void AgentPass::EndOnError() {
  connection_.Close();
  Say(Message::PassError);
}

bool AgentPass::Connect(const char* host, int port) {
  // The port is 1 to 65535 here: RunAgent ends the run for any other.
  const std::string shown = ShownHost(host);
  Say(Message::Connecting, shown.c_str(), port);
  connection_.SetReceiveTimeout(static_cast<std::uint32_t>(agent_.idleTimeout.count()));
  if (!connection_.Connect(host, static_cast<std::uint16_t>(port))) {
    connection_.Close();
    Say(Message::ConnectFailed, shown.c_str(), port);
    return false;
  }
  // Without keepalive the idle timeout still ends a connection that went silent.
  connection_.EnableKeepAlive();
  return agent_.tls == nullptr || SecureChannel(host, port);
}

bool AgentPass::SecureChannel(const char* host, int port) {
  // The settings were being made while the connection was: ready now, or they never will be.
  const platform::TlsContext* context = agent_.tls->Context();
  if (context == nullptr) {
    connection_.Close();
    Say(Message::TlsStartupFailed, agent_.tls->Error().c_str());
    return false;
  }
  std::string error;
  if (!connection_.StartTls(*context, &error)) {
    connection_.Close();
    Say(Message::TlsHandshakeFailed, ShownHost(host).c_str(), port, error.c_str());
    return false;
  }
  // The pin is the trust: a service whose certificate is another never sees a protocol byte.
  const std::string presented = connection_.PeerFingerprint();
  if (presented != agent_.pinnedFingerprint) {
    connection_.Close();
    Say(Message::FingerprintMismatch, presented.empty() ? "-" : presented.c_str(),
        agent_.pinnedFingerprint.c_str());
    return false;
  }
  Say(Message::TlsConnected, connection_.TlsDescription().c_str());
  return true;
}

bool AgentPass::Login(const char* password) {
  Say(Message::LoggingIn);
  Send(kHeloRequest);
  if (!connection_.ReadLine(line_.data(), kReplyLineLimit)) return false;
  if (!FetchAgent::IsAccepted(line_.data())) {
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
  if (!connection_.ReadLine(line_.data(), kReplyLineLimit)) return false;
  if (!FetchAgent::IsAccepted(line_.data())) {
    Say(Message::LoginFailed);
    return false;
  }
  Say(Message::LoggedIn);
  return true;
}

bool AgentPass::List() {
  Say(Message::Listing);
  Send(kListRequest);
  if (!connection_.ReadLine(line_.data(), kReplyLineLimit)) return false;
  if (!FetchAgent::IsAccepted(line_.data())) {
    Say(Message::ListFailed);
    return false;
  }
  int present = 0;
  if (!ReadList(&present)) return false;
  // The files left beyond the table wait for the next pass: they count as not fetched, so that
  // this pass never reads as a complete success.
  result_.notFetched = result_.namesBeyondTable;
  if (present != 0) Say(Message::PresentCount, present);
  Say(Message::PendingCount, static_cast<int>(pending_.size()));
  return true;
}

bool AgentPass::ReadList(int* present) {
  // The record being gathered. The size is cleared only at the start of the list.
  std::string name;
  std::uint32_t timeLow = 0, timeHigh = 0, sizeLow = 0, sizeHigh = 0;
  // The pending names by the key of the local file system (platform::EntryKey). A name listed
  // again (by a service whose directory changed while it listed, or a hostile one) is taken once:
  // fetched twice into one partial file, its second rename would fail, and the first copy might
  // be deleted on the service with nothing left here.
  std::unordered_set<std::string> pendingKeys;
  result_.namesBeyondTable = 0;
  pending_.clear();
  for (;;) {
    if (!connection_.ReadLine(line_.data(), kReplyLineLimit)) return false;
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
      } else if (agent_.IsPresentLocally(name.c_str(), timeLow, timeHigh)) {
        ++*present;
      } else if (sizeLow == 0 && sizeHigh == 0) {
        Say(Message::EmptyFileSkipped, name.c_str());
      } else if (pending_.size() < kMaxPendingNames) {
        pendingKeys.insert(std::move(key));
        pending_.push_back(PendingFile{name, platform::MakeWide(sizeLow, sizeHigh),
                                       platform::MakeWide(timeLow, timeHigh)});
      } else {
        // The table is full. The rest of the block is still read, so that the next line read
        // is the reply to the first GET; its pending files are only counted.
        ++result_.namesBeyondTable;
      }
    }
    name.clear();
    timeLow = timeHigh = 0;
    if (terminator) return true;
  }
}

bool AgentPass::FetchPending() {
  // Requests go ahead only while fetches succeed (the first file of a pass goes alone) and never
  // past a file that must go in lock step. A file with a partial file goes ahead with the offset
  // its listed size and time give; its header is checked against it. With DELETEFILE the files
  // fetched are held for one sync of many and then deleted together, or, where the file system
  // cannot be synced in one call, each file's DELE goes out with the window's refill once that
  // file is on stable storage. Each DELE's reply is read where it stands among the replies, and
  // the console output after the file's lines is held until then, so that the console keeps its
  // order.
  const bool deleting = agent_.deleteFile;
  const bool syncInBatches = deleting && platform::CanFlushFileSystem();
  FetchPlan plan;
  plan.finish = syncInBatches ? Finish::Held : deleting ? Finish::DurablyInPlace : Finish::InPlace;
  RequestWindow window(pending_, agent_.localBase, deleting);
  ServerDeletes deletes(agent_);
  bool sendAhead = false;
  for (std::size_t index = 0; index < pending_.size(); ++index) {
    if (sendAhead) Send(window.Refill(index));
    const std::string name = std::exchange(pending_[index].name, std::string());  // released
    // A request not sent ahead is sent now, behind the DELEs of every file fetched before it; a
    // name never asked for sends nothing, and the replies outstanding are read where they stand.
    const bool asksNow = !window.WentAhead(index) && FetchAgent::IsAskedFor(name.c_str());
    if (asksNow) PutHeldInPlace(deletes, window, index, true);
    deletes.ReadRepliesBefore(index, asksNow);
    Say(Message::FileBanner, name.c_str());
    plan.ahead = window.WentAhead(index) ? std::optional(window.OffsetAhead(index)) : std::nullopt;
    const FetchOutcome fetched = agent_.FetchFile(name.c_str(), &result_.notFetched, plan);
    window.Done(index, name);
    sendAhead = fetched.result == FetchResult::Fetched && (!deleting || syncInBatches);
    if (fetched.result == FetchResult::AbortPass || fetched.result == FetchResult::EndPass) {
      // DELEs go out only while the service reads requests in turn: not once the connection is
      // lost, nor while the service waits for this file's offset line.
      const bool ended = fetched.result == FetchResult::EndPass;
      const bool inTurn = ended && (window.WentAhead(index) || fetched.unreadBody.has_value());
      PutHeldInPlace(deletes, window, index + 1, inTurn);
      if (ended) deletes.ReadRepliesAtEnd(index, pending_.size(), window, fetched.unreadBody);
      deletes.SettleUnread();
      ReleaseConsole();
      return ended;
    }
    if (fetched.result != FetchResult::Fetched) continue;
    ++result_.finished;
    if (fetched.held) {
      deletes.Hold(*fetched.held);
      if (deletes.HoldsFullSync()) PutHeldInPlace(deletes, window, index + 1, true);
    } else if (deleting) {
      DeleteFetched(deletes, window, name, fetched.durable, index + 1);
    }
  }
  PutHeldInPlace(deletes, window, pending_.size(), true);
  deletes.ReadRepliesBefore(pending_.size(), true);
  return true;
}

void AgentPass::PutHeldInPlace(ServerDeletes& deletes, const RequestWindow& window,
                               std::size_t next, bool deleting) {
  const int notInPlace = deletes.PutHeldInPlace(window.NextToConsider(next), deleting);
  result_.finished -= notInPlace;
  result_.notFetched += notInPlace;
}

void AgentPass::DeleteFetched(ServerDeletes& deletes, RequestWindow& window,
                              const std::string& name, bool durable, std::size_t next) {
  deletes.DeleteFetched(name, durable, window.NextToConsider(next));
  Send(window.Refill(next));
  // A large next file still goes with the DELE: its reply comes after the DELE's, so that nothing
  // is held while its body arrives.
  Send(window.TakeBesideDelete(next));
}

}  // namespace quarv::agent
