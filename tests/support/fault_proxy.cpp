// The fault proxy: following the replies, and relaying with the armed fault.
#include "tests/support/fault_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "common/wire_number.h"
#include "platform/file_time.h"
#include "tests/support/send_all.h"

namespace quarv::test {

namespace {

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

}  // namespace

const char* RegionName(Region region) {
  switch (region) {
    case Region::Other:
      return "other";
    case Region::List:
      return "list";
    case Region::GetHeader:
      return "get-header";
    case Region::Body:
      return "body";
    case Region::Trailer:
      return "trailer";
    case Region::Request:
      return "request";
  }
  return "?";
}

Region ReplyTracker::Next(std::uint64_t* offset, std::uint64_t* run, std::uint32_t* stretch) {
  if (state_ == State::Idle) StartReply();
  if (state_ == State::AwaitBody) StartBody();
  *offset = position_;
  *stretch = 0;
  switch (state_) {
    case State::Body:
    case State::Trailer: {
      const Region region = state_ == State::Body ? Region::Body : Region::Trailer;
      *run = remaining_;
      *stretch = Started(region) - 1;
      return region;
    }
    case State::StatusLine:
    case State::ListLines:
    case State::HeaderLines:
      *run = 1;
      *stretch = Started(region_) - 1;
      return region_;
    default:
      *run = 1;
      return Region::Other;
  }
}

void ReplyTracker::Consume(const char* bytes, std::uint64_t count) {
  position_ += count;
  if (state_ == State::Body || state_ == State::Trailer) {
    remaining_ -= count;
    if (remaining_ == 0) {
      if (state_ == State::Body) {
        state_ = State::Trailer;
        remaining_ = kTrailerSize;
        position_ = 0;
        ++Started(Region::Trailer);
      } else {
        state_ = State::Idle;
      }
    }
    return;
  }
  for (std::uint64_t i = 0; i < count; ++i) {
    line_.push_back(bytes[i]);
    if (bytes[i] == '\n') EndLine();
  }
}

std::string ReplyTracker::PopRequest() {
  if (requests_.empty()) return {};
  std::string line = requests_.front();
  requests_.pop_front();
  return line;
}

void ReplyTracker::StartReply() {
  command_ = PopRequest();
  state_ = State::StatusLine;
  const std::string word = command_.substr(0, command_.find(' '));
  region_ = word == "LIST" ? Region::List : word == "GET" ? Region::GetHeader : Region::Other;
  ++Started(region_);
  position_ = 0;
  line_.clear();
}

void ReplyTracker::StartBody() {
  // The Offset line the service reads after the header (any other line: from the start).
  std::string line = PopRequest();
  std::uint64_t offset = 0;
  if (line.rfind("Offset: ", 0) == 0) {
    std::uint32_t low = 0, high = 0;
    const std::string words = line.substr(8);
    if (words.find(' ') != std::string::npos && ParseWords(words.c_str(), &low, &high)) {
      offset = platform::MakeWide(low, high);
    }
  }
  position_ = 0;
  if (offset >= size_) {
    state_ = State::Trailer;  // the zero sentinel
    remaining_ = kTrailerSize;
  } else {
    state_ = State::Body;
    remaining_ = size_ - offset;
  }
  ++Started(state_ == State::Body ? Region::Body : Region::Trailer);
}

void ReplyTracker::EndLine() {
  std::string line = line_;
  line_.clear();
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  switch (state_) {
    case State::StatusLine:
      if (line.rfind('2', 0) != 0 || region_ == Region::Other) {
        state_ = State::Idle;
      } else {
        state_ = region_ == Region::List ? State::ListLines : State::HeaderLines;
        size_ = 0;
      }
      return;
    case State::ListLines:
      if (line.rfind('.', 0) == 0) state_ = State::Idle;
      return;
    case State::HeaderLines:
      if (line.empty()) {
        state_ = State::AwaitBody;
      } else if (line.rfind("FileSize: ", 0) == 0) {
        std::uint32_t low = 0, high = 0;
        ParseWords(line.substr(10).c_str(), &low, &high);
        size_ = platform::MakeWide(low, high);
      }
      return;
    default:
      return;
  }
}

FaultProxy::FaultProxy(std::uint16_t upstreamPort) : upstreamPort_(upstreamPort) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Loopback(0);
  socklen_t length = sizeof address;
  ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::listen(listener_, 16);
  ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { AcceptLoop(); });
}

FaultProxy::~FaultProxy() {
  stopping_ = true;
  thread_.join();
  ::close(listener_);
}

void FaultProxy::Arm(const FaultPlan& plan) {
  std::lock_guard<std::mutex> lock(mutex_);
  plan_ = plan;
  armed_ = true;
  fired_ = false;
}

void FaultProxy::Disarm() {
  std::lock_guard<std::mutex> lock(mutex_);
  armed_ = false;
}

bool FaultProxy::Fired() {
  std::lock_guard<std::mutex> lock(mutex_);
  return fired_;
}

bool FaultProxy::WaitFired(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [this] { return fired_; });
}

bool FaultProxy::Fires(Region region, std::uint32_t stretch, std::uint64_t offset,
                       FaultPlan* plan) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!armed_ || plan_.region != region || plan_.stretch > stretch || plan_.offset != offset) {
    return false;
  }
  armed_ = false;
  fired_ = true;
  *plan = plan_;
  changed_.notify_all();
  return true;
}

std::uint64_t FaultProxy::UntilFault(Region region, std::uint32_t stretch, std::uint64_t offset,
                                     std::uint64_t run) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!armed_ || plan_.region != region || plan_.stretch > stretch || plan_.offset < offset) {
    return run;
  }
  return std::min<std::uint64_t>(run, std::max<std::uint64_t>(plan_.offset - offset, 1));
}

void FaultProxy::AcceptLoop() {
  struct Session {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> ended;
  };
  std::vector<Session> sessions;
  while (!stopping_) {
    // Relays that have ended are joined as we go, so that a long soak holds only live ones.
    for (auto it = sessions.begin(); it != sessions.end();) {
      if (!it->ended->load()) {
        ++it;
        continue;
      }
      it->thread.join();
      it = sessions.erase(it);
    }
    pollfd waiter{listener_, POLLIN, 0};
    if (::poll(&waiter, 1, 50) <= 0) continue;
    const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    ++connections_;
    auto ended = std::make_shared<std::atomic<bool>>(false);
    sessions.push_back({std::thread([this, client, ended] {
                          Relay(client);
                          ended->store(true);
                        }),
                        ended});
  }
  for (auto& session : sessions) session.thread.join();
}

void FaultProxy::Relay(int client) {
  const int service = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in address = Loopback(upstreamPort_);
  if (::connect(service, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(service);
    ::close(client);
    return;
  }
  ReplyTracker tracker;
  std::string requestLine;
  std::uint64_t requestOffset = 0;
  bool frozen = false;
  std::uint64_t frozenAt = 0;  // the release generation when this connection froze
  char buffer[16384];
  for (;;) {
    if (stopping_) break;
    if (frozen) {
      if (releases_.load() != frozenAt) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    pollfd waiters[2] = {{client, POLLIN, 0}, {service, POLLIN, 0}};
    if (::poll(waiters, 2, 50) <= 0) continue;
    for (int side = 0; side < 2 && !frozen; ++side) {
      if (waiters[side].revents == 0) continue;
      const int from = side == 0 ? client : service;
      const int to = side == 0 ? service : client;
      const ssize_t got = ::recv(from, buffer, sizeof buffer, 0);
      if (got <= 0 || !Forward(side == 0, buffer, static_cast<std::size_t>(got), to, &tracker,
                               &requestLine, &requestOffset, &frozen)) {
        ::close(service);
        ::close(client);
        return;
      }
      if (frozen) frozenAt = releases_.load();
    }
  }
  ::close(service);
  ::close(client);
}

bool FaultProxy::Forward(bool fromAgent, char* buffer, std::size_t length, int to,
                         ReplyTracker* tracker, std::string* requestLine,
                         std::uint64_t* requestOffset, bool* frozen) {
  std::size_t done = 0;
  std::size_t unsent = 0;
  while (done < length) {
    std::uint64_t offset = 0, run = 0;
    std::uint32_t stretch = 0;
    Region region = Region::Request;
    if (fromAgent) {
      offset = *requestOffset;
      run = length - done;
    } else {
      region = tracker->Next(&offset, &run, &stretch);
      run = std::min<std::uint64_t>(run, length - done);
    }
    run = UntilFault(region, stretch, offset, run);
    FaultPlan plan;
    if (Fires(region, stretch, offset, &plan)) {
      run = 1;
      // What came before the fault goes out first.
      if (!SendAll(to, buffer + unsent, done - unsent)) return false;
      unsent = done;
      if (Apply(plan, buffer + done, frozen)) return false;
      if (*frozen) return true;
    }
    if (fromAgent) {
      for (std::uint64_t i = 0; i < run; ++i) {
        const char byte = buffer[done + i];
        if (byte != '\n') {
          requestLine->push_back(byte);
          continue;
        }
        if (!requestLine->empty() && requestLine->back() == '\r') requestLine->pop_back();
        tracker->Request(*requestLine);
        requestLine->clear();
      }
      *requestOffset += run;
    } else {
      tracker->Consume(buffer + done, run);
    }
    done += static_cast<std::size_t>(run);
  }
  return SendAll(to, buffer + unsent, done - unsent);
}

bool FaultProxy::Apply(const FaultPlan& plan, char* byte, bool* frozen) {
  switch (plan.action) {
    case Action::Cut:
      return true;
    case Action::Stall:
      std::this_thread::sleep_for(plan.stall);
      return false;
    case Action::Corrupt:
      *byte = static_cast<char>(*byte ^ static_cast<char>(plan.flip == 0 ? 1 : plan.flip));
      return false;
    case Action::Trigger:
      return false;
    case Action::Freeze:
      *frozen = true;
      return false;
  }
  return false;
}

}  // namespace quarv::test
