// TLS under the protocol: the one place that knows the TLS library (platform/tls/). Nothing here
// exposes its types: a TlsContext holds what every channel of a program shares (the service's
// certificate and key, the protocol versions and ciphers), a TlsChannel is one connection's
// session, reading and writing through a TlsTransport, its owner's socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace quarv::platform {

// TLS 1.2 at least, 1.3 preferred; with 1.2 only ECDHE key exchange with AEAD ciphers; no
// compression, no renegotiation. Made once per program; after construction any thread may make
// channels from it at the same time.
class TlsContext {
 public:
  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  // The agent's side: no chain or host-name check, the caller compares the service's
  // certificate with its pinned fingerprint (TlsChannel::PeerFingerprint). Null, with the
  // reason in `error`, when the library cannot make it.
  static std::unique_ptr<TlsContext> ForClient(std::string* error);
  // The service's side, presenting the certificate and key given as PEM text (they must match;
  // see CheckIdentity). Null, with the reason in `error`, when they do not load.
  static std::unique_ptr<TlsContext> ForServer(const std::string& certificatePem,
                                               const std::string& keyPem, std::string* error);

  bool IsServer() const { return server_; }

 private:
  friend class TlsChannel;
  struct State;
  TlsContext(std::unique_ptr<State> state, bool server);

  std::unique_ptr<State> state_;
  bool server_;
};

// The socket under a TLS session, as its owner sends and waits on it. The session calls it only
// from inside its own calls (TlsChannel::Handshake, Read, Write), on the owner's thread.
class TlsTransport {
 public:
  // Takes records to be sent to the peer, in order behind those taken before: they may wait in
  // the owner's queue until it next sends or receives. False when they cannot be taken.
  virtual bool Send(const char* bytes, std::size_t length) = 0;
  // Up to `length` of the peer's bytes into `buffer`, after what was taken to be sent has gone
  // out as far as the peer takes it; waits as the owner's receives do. The count, 0 when the
  // peer has closed, -1 on failure (lost, timed out, closed from another thread).
  virtual int Receive(char* buffer, int length) = 0;

 protected:
  ~TlsTransport() = default;
};

// One TLS session over a transport given to each call. The session reads the peer's bytes
// straight into its own buffer, up to a record at a time, and hands its records to the
// transport: no byte is copied on the way but into that buffer and out of it.
// Single-threaded: one owner thread makes every call.
class TlsChannel {
 public:
  explicit TlsChannel(const TlsContext& context);
  ~TlsChannel();
  TlsChannel(const TlsChannel&) = delete;
  TlsChannel& operator=(const TlsChannel&) = delete;

  // False when the session could not be made (out of memory): every later call fails.
  bool IsUsable() const;

  // Runs the whole handshake over `transport`, its waits bounded as the transport's are. False
  // when it fails (Error says why): the alert for the peer, if any, went to the transport.
  bool Handshake(TlsTransport& transport);
  // Reads up to `length` bytes of plaintext: first what the session holds already, then
  // records as they come. Returns the count (more than 0), or -1 when the peer closed the
  // session, the transport failed or the session failed (Error says why).
  int Read(char* buffer, int length, TlsTransport& transport);
  // Encrypts `length` bytes of plaintext and hands their records to the transport. False when
  // the session has failed.
  bool Write(const char* data, std::size_t length, TlsTransport& transport);

  // After the handshake: the protocol version and cipher ("TLSv1.3 TLS_AES_128_GCM_SHA256").
  std::string Description() const;
  // After the handshake: the SHA-256 fingerprint of the peer's certificate (as
  // Sha256Fingerprint gives it), or empty when the peer presented none.
  std::string PeerFingerprint() const;
  // Why the last step failed, in one line.
  const std::string& Error() const { return error_; }

 private:
  struct State;
  std::unique_ptr<State> state_;
  std::string error_;
};

// The SHA-256 of `length` bytes as 32 upper-case hexadecimal pairs joined by colons
// ("AB:CD:...": 95 characters), the form the service logs and operators copy.
std::string Sha256Fingerprint(const unsigned char* data, std::size_t length);

// The pinned form of a fingerprint as an operator writes it: 64 hexadecimal digits, colons,
// blanks and letter case ignored. False when `text` is not one; `*fingerprint` then is unchanged.
bool ParseFingerprint(const std::string& text, std::string* fingerprint);

// A new self-signed certificate with its key: ECDSA on P-256, valid for ten years from now,
// `commonName` as its subject's CN. Both as PEM text. False, with the reason in `error`, when the
// library fails.
bool MakeSelfSignedIdentity(const std::string& commonName, std::string* certificatePem,
                            std::string* keyPem, std::string* error);
// Checks a certificate and key given as PEM text: both parse, and the key is the certificate's.
// On success `fingerprint` holds the certificate's SHA-256 fingerprint (of its DER bytes, as
// Sha256Fingerprint gives it). False, with the reason in one line in `error`, otherwise.
bool CheckIdentity(const std::string& certificatePem, const std::string& keyPem,
                   std::string* fingerprint, std::string* error);

}  // namespace quarv::platform
