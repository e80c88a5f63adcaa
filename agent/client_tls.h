// The agent's TLS settings for every pass, made on a thread of their own from the start of the
// run: the TLS library's start takes a few milliseconds of processor time, and so it overlaps
// the first connection's setup instead of coming before it.
//
// Threads: the run's thread calls every function; the maker thread only fills the result,
// which the run's thread reads after joining it.
#pragma once

#include <memory>
#include <string>
#include <thread>

#include "platform/tls.h"

namespace quarv::agent {

class ClientTls {
 public:
  ClientTls() = default;
  ~ClientTls();  // waits for the maker thread
  ClientTls(const ClientTls&) = delete;
  ClientTls& operator=(const ClientTls&) = delete;

  // Starts making the settings; on a thread of its own when one can be started, else now.
  void Begin();
  // The settings, once made: waits for them the first time. Null when the library could not
  // make them (Error says why), and on every later call too.
  const platform::TlsContext* Context();
  const std::string& Error() const { return error_; }

 private:
  void Make();

  std::thread maker_;
  std::unique_ptr<platform::TlsContext> context_;
  std::string error_;
};

}  // namespace quarv::agent
