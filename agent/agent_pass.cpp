// One transfer pass: connect, log in, list, fetch what is pending, delete on the service when
// configured, say goodbye.
#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "agent/console_output.h"
#include "agent/fetch_agent.h"
#include "common/md5.h"
#include "common/protocol.h"
#include "common/split_token.h"
#include "common/wire_number.h"
#include "platform/file.h"
#include "platform/paths.h"

namespace quarv::agent {
namespace {

constexpr int kPortMask = 0xFFFF;

// The offset line of a request sent ahead: the whole file.
constexpr char kWholeFileOffset[] = "Offset: 0 0\r\n";

// The bytes of "GET <name>\r\n" and the offset line.
std::size_t AheadRequestLength(const std::string& name) {
  return sizeof "GET " - 1 + name.size() + sizeof "\r\n" - 1 + sizeof kWholeFileOffset - 1;
}

}  // namespace

int FetchAgent::RunPass(const char* host, int port, const char* password, const char* base,
                        int* notFetched) {
  *notFetched = -1;
  namesBeyondTable_ = 0;

  char prefix[kPathCapacity];
  localBase = platform::FormBasePrefix(base, prefix, sizeof prefix) ? prefix : "";

  const int shownPort = port & kPortMask;
  Say(Message::Connecting, host, shownPort);
  connection.SetReceiveTimeout(static_cast<std::uint32_t>(idleTimeout.count()));
  if (!connection.Connect(host, static_cast<std::uint16_t>(shownPort))) {
    connection.Close();
    Say(Message::ConnectFailed, host, shownPort);
    return -1;
  }
  connection.EnableKeepAlive();

  int finished = 0;
  const auto abortPass = [&] {
    connection.Close();
    Say(Message::PassError);
    return finished;
  };

  if (!Login(password)) return abortPass();

  Say(Message::Listing);
  connection.SendText("LIST\r\n");
  if (!connection.ReadLine(line_.data(), kReplyLineLimit)) return abortPass();
  if (!IsAccepted(line_.data())) {
    Say(Message::ListFailed);
    return abortPass();
  }
  std::vector<std::string> pending;
  int present = 0;
  if (!ReadList(&pending, &present)) return abortPass();

  // The files left beyond the table wait for the next pass: they count as not fetched, so that
  // this pass never reads as a complete success.
  *notFetched = namesBeyondTable_;
  if (present != 0) Say(Message::PresentCount, present);
  Say(Message::PendingCount, static_cast<int>(pending.size()));

  // Requests sent ahead of the file being fetched, so that the service never waits for the
  // agent between files: the GET of a later file together with its "Offset: 0 0", for files
  // that have no partial file. They go out only while fetches succeed (the first file of a
  // pass goes alone) and never past a file that must go in lock step. Replies are still read
  // one file after another. With DELETEFILE only the next file's request goes ahead, in the
  // same send as the DELE of the file just fetched (after that file is on stable storage), so
  // that the DELE's reply comes before the next file's and the console keeps its order.
  std::vector<bool> wentAhead(pending.size(), false);
  std::size_t aheadEnd = 0;    // the entries before it have been considered
  std::size_t aheadFiles = 0;  // requests sent ahead whose files are not done yet
  std::size_t aheadBytes = 0;  // and their bytes
  bool sendAhead = false;
  for (std::size_t index = 0; index < pending.size(); ++index) {
    if (sendAhead && aheadFiles <= kAheadRefill) {
      aheadEnd = std::max(aheadEnd, index);
      std::string batch;
      while (aheadEnd < pending.size() && aheadFiles < kAheadFiles) {
        const std::string& next = pending[aheadEnd];
        if (!IsSafeLocalName(next.c_str()) || !RequestFits(next.c_str())) {  // never asked for
          ++aheadEnd;
          continue;
        }
        if (!CanRequestAhead(next.c_str())) break;
        const std::size_t length = AheadRequestLength(next);
        if (aheadBytes + length > kAheadBytes) break;
        batch += "GET " + next + "\r\n" + kWholeFileOffset;
        aheadBytes += length;
        ++aheadFiles;
        wentAhead[aheadEnd++] = true;
      }
      if (!batch.empty()) connection.SendText(batch.c_str());
    }

    const std::string name = std::exchange(pending[index], std::string());  // entry released
    Say(Message::FileBanner, name.c_str());
    const bool requested = wentAhead[index];
    const FetchResult result = Fetch(name.c_str(), notFetched, requested);
    if (requested) {
      --aheadFiles;
      aheadBytes -= AheadRequestLength(name);
    }
    sendAhead = result == FetchResult::Fetched && !deleteFile;
    if (result == FetchResult::AbortPass) return abortPass();
    if (result == FetchResult::EndPass) break;
    if (result == FetchResult::Fetched) {
      ++finished;
      if (deleteFile) {
        // The local copy might not survive a crash yet, or the name does not fit a DELE line
        // that the service takes: then the service keeps its own copy.
        const bool deleting = fetchedDurably_ && name.size() <= kLongestDeleteName;
        std::string requests = deleting ? "DELE " + name + "\r\n" : std::string();
        if (index + 1 < pending.size()) {
          const std::string& next = pending[index + 1];
          if (RequestFits(next.c_str()) && CanRequestAhead(next.c_str())) {
            requests += "GET " + next + "\r\n" + kWholeFileOffset;
            aheadBytes += AheadRequestLength(next);
            ++aheadFiles;
            wentAhead[index + 1] = true;
          }
        }
        if (!requests.empty()) connection.SendText(requests.c_str());
        if (deleting) {
          ReadDeleteReply(name.c_str());
        } else {
          Say(Message::ServerDeleteFailed, name.c_str());
        }
      }
    }
  }

  connection.SendText("QUIT\r\n");
  connection.Close();
  Say(Message::Disconnected);
  return finished;
}

bool FetchAgent::Login(const char* password) {
  Say(Message::LoggingIn);
  connection.SendText("HELO\r\n");
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
  const std::string enter =
      "ENTER " + Md5HexOf(loginText.data(), static_cast<std::uint32_t>(loginText.size())) + "\r\n";
  connection.SendText(enter.c_str());
  if (!connection.ReadLine(line_.data(), kReplyLineLimit)) return false;
  if (!IsAccepted(line_.data())) {
    Say(Message::LoginFailed);
    return false;
  }
  Say(Message::LoggedIn);
  return true;
}

bool FetchAgent::ReadList(std::vector<std::string>* pending, int* present) {
  // The record being gathered. The size is cleared only at the start of the list.
  std::string name;
  std::uint32_t timeLow = 0, timeHigh = 0, sizeLow = 0, sizeHigh = 0;
  namesBeyondTable_ = 0;
  for (;;) {
    if (!connection.ReadLine(line_.data(), kReplyLineLimit)) return false;
    const bool terminator = line_[0] == '.';
    const bool endsRecord = terminator || line_[0] == '\0';
    if (const char* value = SplitToken(line_.data())) {
      const char* key = line_.data();
      if (std::strcmp(key, kNameKey) == 0) {
        name = value;
      } else if (std::strcmp(key, kTimeKey) == 0) {
        ParseWords(value, &timeLow, &timeHigh);
      } else if (std::strcmp(key, kSizeKey) == 0) {
        ParseWords(value, &sizeLow, &sizeHigh);
      }
    }
    if (!endsRecord) continue;

    // No directory entry has a longer name, so such a record is ignored like a nameless one.
    if (!name.empty() && name.size() <= kMaxNameLength && (timeLow != 0 || timeHigh != 0)) {
      if (IsPresentLocally(name.c_str(), timeLow, timeHigh)) {
        ++*present;
      } else if (sizeLow == 0 && sizeHigh == 0) {
        Say(Message::EmptyFileSkipped, name.c_str());
      } else if (pending->size() < kMaxPendingNames) {
        pending->push_back(name);
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

bool FetchAgent::DeleteOnServer(const char* name) {
  const std::string request = std::string("DELE ") + name + "\r\n";
  connection.SendText(request.c_str());
  return ReadDeleteReply(name);
}

bool FetchAgent::ReadDeleteReply(const char* name) {
  if (!connection.ReadLine(line_.data(), kDeleteLineLimit)) return false;
  Say(IsAccepted(line_.data()) ? Message::ServerFileDeleted : Message::ServerDeleteFailed, name);
  return true;
}

}  // namespace quarv::agent
