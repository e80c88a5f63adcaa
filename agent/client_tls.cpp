#include "agent/client_tls.h"

#include <system_error>

namespace quarv::agent {

ClientTls::~ClientTls() {
  if (maker_.joinable()) maker_.join();
}

void ClientTls::Begin() {
  try {
    maker_ = std::thread([this] { Make(); });
  } catch (const std::system_error&) {
    Make();  // no thread to be had: made now, before the connection
  }
}

void ClientTls::Make() {
  context_ = platform::TlsContext::ForClient(&error_);
}

const platform::TlsContext* ClientTls::Context() {
  if (maker_.joinable()) maker_.join();
  return context_.get();
}

}  // namespace quarv::agent
