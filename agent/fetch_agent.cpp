#include "agent/fetch_agent.h"

#include <cstring>

#include "common/wire_number.h"

namespace quarv::agent {
namespace {

constexpr std::size_t kReplyCodeDigits = 3;
constexpr int kAcceptedClass = 2;  // 2xx

}  // namespace

bool FetchAgent::Startup() {
  return connection.Startup(1, 1);
}

void FetchAgent::Cleanup() {
  connection.Cleanup();
}

int FetchAgent::ReplyCode(const char* line) {
  char code[kReplyCodeDigits + 1] = {};
  for (std::size_t i = 0; i < kReplyCodeDigits && line[i] != '\0'; ++i) code[i] = line[i];
  return ParseInt(code);
}

bool FetchAgent::IsAccepted(const char* line) {
  return ReplyCode(line) / 100 == kAcceptedClass;
}

bool FetchAgent::LocalPathFits(const char* name, std::size_t limit) const {
  return !localBase.empty() && localBase.size() + std::strlen(name) <= limit;
}

}  // namespace quarv::agent
