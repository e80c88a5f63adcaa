#include "agent/requests.h"

namespace quarv::agent {
namespace {

constexpr char kLineEnd[] = "\r\n";

}  // namespace

std::string DeleteRequest(const std::string& name) {
  return kDeleteCommand + name + kLineEnd;
}

std::string EnterRequest(const std::string& token) {
  return kEnterCommand + token + kLineEnd;
}

}  // namespace quarv::agent
