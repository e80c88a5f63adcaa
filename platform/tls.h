// TLS under the protocol: the one place that knows the TLS library (platform/tls/). Nothing here
// exposes its types: a TlsContext holds what every channel of a program shares (the service's
// certificate and key, the protocol versions and ciphers), a TlsChannel is one connection's
// session, driven by its owner as a transform between plaintext and the bytes on the wire.
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

// One TLS session. Its owner moves the bytes: what the peer sent goes in through Feed, the
// plaintext comes out of Read; plaintext goes in through Write, and what is to be sent to the
// peer comes out of TakeOutgoing. Nothing here touches a socket or waits.
// Single-threaded: one owner thread makes every call.
class TlsChannel {
 public:
  explicit TlsChannel(const TlsContext& context);
  ~TlsChannel();
  TlsChannel(const TlsChannel&) = delete;
  TlsChannel& operator=(const TlsChannel&) = delete;

  // False when the session could not be made (out of memory): every later call fails.
  bool IsUsable() const;

  enum class Step {
    Done,       // the handshake is complete
    NeedInput,  // send what TakeOutgoing gives, then Feed what the peer sends, then step again
    Failed,     // the handshake failed: Error says why; send what TakeOutgoing gives (an alert)
  };
  // Takes the handshake one step further.
  Step Handshake();

  // Hands the channel bytes that came from the peer.
  void Feed(const char* data, std::size_t length);
  // The bytes to send to the peer now, in order; empty when there are none. Appended to `out`.
  void TakeOutgoing(std::string* out);
  // Whether bytes fed in or plaintext decrypted are waiting to be read, so that a Read may give
  // something without more input.
  bool HasInput() const;
  // Reads up to `length` bytes of plaintext. Returns the count (more than 0), 0 when more input
  // is needed first, or -1 when the peer closed the session or it failed (Error says why).
  int Read(char* buffer, int length);
  // Encrypts `length` bytes of plaintext; their records are appended to what TakeOutgoing gives.
  // False when the session has failed.
  bool Write(const char* data, std::size_t length);

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
