#include "agent/requests.h"

#include "common/wire_number.h"

namespace quarv::agent {
namespace {

constexpr char kLineEnd[] = "\r\n";

}  // namespace

std::string GetRequest(const std::string& name) {
  return kGetCommand + name + kLineEnd;
}

std::string DeleteRequest(const std::string& name) {
  return kDeleteCommand + name + kLineEnd;
}

std::string EnterRequest(const std::string& token) {
  return kEnterCommand + token + kLineEnd;
}

std::string OffsetRequest(std::uint64_t offset) {
  return std::string(kOffsetKey) + " " + FormatWords(offset) + kLineEnd;
}

std::string GetAheadRequest(const std::string& name, std::uint64_t offset) {
  return GetRequest(name) + OffsetRequest(offset);
}

}  // namespace quarv::agent
