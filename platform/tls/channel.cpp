// TlsContext and TlsChannel on OpenSSL. A channel's session reads from and writes to two memory
// buffers (BIOs): its owner feeds in what came from the socket and takes out what is to be sent,
// so that the owner's way of waiting on the socket (and of sending while it waits for replies)
// stays as it is without TLS.
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <climits>
#include <memory>
#include <string>
#include <utility>

#include "platform/tls.h"
#include "platform/tls/library.h"

namespace quarv::platform {
namespace {

// With TLS 1.2, only ephemeral elliptic-curve key exchange and ciphers with authenticated
// encryption; TLS 1.3 suites are all of that kind.
constexpr char kTls12Ciphers[] =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-RSA-CHACHA20-POLY1305";

tls::Context NewContext(bool server, std::string* error) {
  ERR_clear_error();
  tls::Context context(SSL_CTX_new(server ? TLS_server_method() : TLS_client_method()));
  if (!context) {
    *error = tls::LibraryError("the TLS library could not make a context");
    return nullptr;
  }
  SSL_CTX* raw = context.get();
  const bool set = SSL_CTX_set_min_proto_version(raw, TLS1_2_VERSION) == 1 &&
                   SSL_CTX_set_cipher_list(raw, kTls12Ciphers) == 1;
  if (!set) {
    *error = tls::LibraryError("the TLS library refused the protocol settings");
    return nullptr;
  }
  // Renegotiation is off both ways (a client asking for it is refused by default, too).
  SSL_CTX_set_options(
      raw, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
  // Every connection is a session of its own: nothing is resumed, so no ticket is sent.
  SSL_CTX_set_session_cache_mode(raw, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_options(raw, SSL_OP_NO_TICKET);
  if (server) {
    SSL_CTX_set_num_tickets(raw, 0);
  } else {
    // The agent trusts the service's certificate by its pinned fingerprint alone, compared
    // after the handshake and before any byte of the protocol: no chain, no host name.
    SSL_CTX_set_verify(raw, SSL_VERIFY_NONE, nullptr);
  }
  return context;
}

}  // namespace

struct TlsContext::State {
  tls::Context context;
};

TlsContext::TlsContext(std::unique_ptr<State> state, bool server)
    : state_(std::move(state)), server_(server) {}

TlsContext::~TlsContext() = default;

std::unique_ptr<TlsContext> TlsContext::ForClient(std::string* error) {
  auto state = std::make_unique<State>();
  state->context = NewContext(false, error);
  if (!state->context) return nullptr;
  return std::unique_ptr<TlsContext>(new TlsContext(std::move(state), false));
}

std::unique_ptr<TlsContext> TlsContext::ForServer(const std::string& certificatePem,
                                                  const std::string& keyPem, std::string* error) {
  auto state = std::make_unique<State>();
  state->context = NewContext(true, error);
  if (!state->context) return nullptr;
  ERR_clear_error();
  tls::Bio certificateText(
      BIO_new_mem_buf(certificatePem.data(), static_cast<int>(certificatePem.size())));
  tls::Bio keyText(BIO_new_mem_buf(keyPem.data(), static_cast<int>(keyPem.size())));
  if (!certificateText || !keyText) {
    *error = tls::LibraryError("out of memory");
    return nullptr;
  }
  tls::Certificate certificate(PEM_read_bio_X509(certificateText.get(), nullptr, nullptr, nullptr));
  tls::Key key(PEM_read_bio_PrivateKey(keyText.get(), nullptr, nullptr, nullptr));
  SSL_CTX* raw = state->context.get();
  if (!certificate || !key || SSL_CTX_use_certificate(raw, certificate.get()) != 1 ||
      SSL_CTX_use_PrivateKey(raw, key.get()) != 1 || SSL_CTX_check_private_key(raw) != 1) {
    *error = tls::LibraryError("the certificate and key could not be used");
    return nullptr;
  }
  return std::unique_ptr<TlsContext>(new TlsContext(std::move(state), true));
}

struct TlsChannel::State {
  ~State() { SSL_free(session); }  // frees both buffers too
  SSL* session = nullptr;
  BIO* in = nullptr;   // what came from the peer
  BIO* out = nullptr;  // what is to be sent to it
  bool failed = false;
};

TlsChannel::TlsChannel(const TlsContext& context) : state_(std::make_unique<State>()) {
  ERR_clear_error();
  SSL* session = SSL_new(context.state_->context.get());
  BIO* in = BIO_new(BIO_s_mem());
  BIO* out = BIO_new(BIO_s_mem());
  if (session == nullptr || in == nullptr || out == nullptr) {
    SSL_free(session);
    BIO_free(in);
    BIO_free(out);
    error_ = tls::LibraryError("out of memory");
    state_->failed = true;
    return;
  }
  // An empty memory buffer asks for more input instead of reporting the end of the stream.
  BIO_set_mem_eof_return(in, -1);
  SSL_set_bio(session, in, out);
  if (context.IsServer()) {
    SSL_set_accept_state(session);
  } else {
    SSL_set_connect_state(session);
  }
  state_->session = session;
  state_->in = in;
  state_->out = out;
}

TlsChannel::~TlsChannel() = default;

bool TlsChannel::IsUsable() const {
  return state_->session != nullptr && !state_->failed;
}

TlsChannel::Step TlsChannel::Handshake() {
  if (!IsUsable()) return Step::Failed;
  ERR_clear_error();
  const int result = SSL_do_handshake(state_->session);
  if (result == 1) return Step::Done;
  const int kind = SSL_get_error(state_->session, result);
  if (kind == SSL_ERROR_WANT_READ || kind == SSL_ERROR_WANT_WRITE) return Step::NeedInput;
  state_->failed = true;
  error_ = tls::LibraryError(kind == SSL_ERROR_SYSCALL || kind == SSL_ERROR_ZERO_RETURN
                                 ? "the peer ended the handshake"
                                 : "the handshake failed");
  return Step::Failed;
}

void TlsChannel::Feed(const char* data, std::size_t length) {
  while (IsUsable() && length > 0) {
    const int part = static_cast<int>(length < INT_MAX ? length : INT_MAX);
    const int written = BIO_write(state_->in, data, part);
    if (written <= 0) {
      state_->failed = true;
      error_ = "out of memory";
      return;
    }
    data += written;
    length -= static_cast<std::size_t>(written);
  }
}

void TlsChannel::TakeOutgoing(std::string* out) {
  if (state_->out == nullptr) return;
  const std::size_t pending = BIO_ctrl_pending(state_->out);
  if (pending == 0) return;
  const std::size_t start = out->size();
  out->resize(start + pending);
  const int taken = BIO_read(state_->out, out->data() + start, static_cast<int>(pending));
  out->resize(start + static_cast<std::size_t>(taken > 0 ? taken : 0));
}

bool TlsChannel::HasInput() const {
  return IsUsable() && (SSL_pending(state_->session) > 0 || BIO_ctrl_pending(state_->in) > 0);
}

int TlsChannel::Read(char* buffer, int length) {
  if (!IsUsable() || length <= 0) return -1;
  ERR_clear_error();
  const int result = SSL_read(state_->session, buffer, length);
  if (result > 0) return result;
  const int kind = SSL_get_error(state_->session, result);
  if (kind == SSL_ERROR_WANT_READ) return 0;
  state_->failed = true;
  error_ = kind == SSL_ERROR_ZERO_RETURN ? "the peer closed the session"
                                         : tls::LibraryError("the session failed");
  return -1;
}

bool TlsChannel::Write(const char* data, std::size_t length) {
  if (!IsUsable()) return false;
  if (length == 0) return true;
  ERR_clear_error();
  std::size_t written = 0;
  if (SSL_write_ex(state_->session, data, length, &written) != 1 || written != length) {
    state_->failed = true;
    error_ = tls::LibraryError("the session failed");
    return false;
  }
  return true;
}

std::string TlsChannel::Description() const {
  if (state_->session == nullptr) return std::string();
  const char* cipher = SSL_get_cipher_name(state_->session);
  return std::string(SSL_get_version(state_->session)) + " " + (cipher != nullptr ? cipher : "");
}

std::string TlsChannel::PeerFingerprint() const {
  if (state_->session == nullptr) return std::string();
  X509* certificate = SSL_get0_peer_certificate(state_->session);
  if (certificate == nullptr) return std::string();
  unsigned char* der = nullptr;
  const int length = i2d_X509(certificate, &der);
  if (length <= 0) return std::string();
  std::string fingerprint = Sha256Fingerprint(der, static_cast<std::size_t>(length));
  OPENSSL_free(der);
  return fingerprint;
}

}  // namespace quarv::platform
