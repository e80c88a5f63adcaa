#include "agent/fetch_agent.h"

#include <cstring>

#include "agent/agent_pass.h"
#include "agent/requests.h"
#include "common/wire_number.h"
#include "platform/file.h"
#include "platform/paths.h"

namespace quarv::agent {
namespace {

constexpr std::size_t kReplyCodeDigits = 3;
constexpr int kAcceptedClass = 2;  // 2xx

}  // namespace

bool LocalPathFits(const std::string& localBase, const char* name, std::size_t limit) {
  return !localBase.empty() && localBase.size() + std::strlen(name) <= limit;
}

bool FetchAgent::Startup() {
  return connection.Startup(1, 1);
}

void FetchAgent::Cleanup() {
  connection.Cleanup();
}

int FetchAgent::RunPass(const char* host, int port, const char* password, const char* base,
                        int* notFetched) {
  *notFetched = -1;
  char prefix[kPathCapacity];
  localBase = platform::FormBasePrefix(base, prefix, sizeof prefix) ? prefix : "";
  pace_ = RateLimit(rateLimit, kBlockSize);
  const AgentPass::Result result = AgentPass(*this).Run(host, port, password);
  *notFetched = result.notFetched;
  namesBeyondTable_ = result.namesBeyondTable;
  return result.finished;
}

FetchOutcome FetchAgent::FetchFile(const char* name, int* notFetched, const FetchPlan& plan) {
  return FileFetch(connection, localBase, plan, pace_).Run(name, notFetched);
}

void FetchAgent::DeleteOnServer(const char* name) {
  connection.Queue(DeleteRequest(name));
}

bool FetchAgent::IsPresentLocally(const char* name, std::uint32_t lastWriteLow,
                                  std::uint32_t lastWriteHigh) {
  // A name that would leave the base directory is never looked up.
  if (!LocalPathFits(localBase, name, kPresentPathLimit) || !IsSafeLocalName(name)) return false;
  const std::string path = localBase + name;
  platform::FileTime localTime = 0;
  if (!platform::FindEntry(path.c_str(), &localTime)) return false;
  if (!checkFileTime) return true;
  return localTime == platform::MakeWide(lastWriteLow, lastWriteHigh);
}

int FetchAgent::ReplyCode(const char* line) {
  char code[kReplyCodeDigits + 1] = {};
  for (std::size_t i = 0; i < kReplyCodeDigits && line[i] != '\0'; ++i) code[i] = line[i];
  return ParseInt(code);
}

bool FetchAgent::IsAccepted(const char* line) {
  return ReplyCode(line) / 100 == kAcceptedClass;
}

}  // namespace quarv::agent
