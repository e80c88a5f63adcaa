// TlsContext and TlsChannel on OpenSSL. A channel's session reads and writes through one BIO
// whose methods call the transport of the call in progress: a read waits on the owner's socket
// as its receives do (sending what is queued meanwhile), a write hands the records to the
// owner's queue. So the owner's way of waiting on the socket, and of sending while it waits for
// replies, stays as it is without TLS, and the peer's bytes go from the socket straight into
// the session's read buffer.
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

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

// The transport's BIO: its data is the TlsTransport of the call in progress (see Bound), null
// between calls.
TlsTransport* TransportOf(BIO* bio) {
  BIO_clear_retry_flags(bio);  // a transport waits as long as it takes: no call is retried
  return static_cast<TlsTransport*>(BIO_get_data(bio));
}

int TransportWrite(BIO* bio, const char* data, int length) {
  TlsTransport* transport = TransportOf(bio);
  if (transport == nullptr || length < 0) return -1;
  return transport->Send(data, static_cast<std::size_t>(length)) ? length : -1;
}

int TransportRead(BIO* bio, char* buffer, int length) {
  TlsTransport* transport = TransportOf(bio);
  if (transport == nullptr || length <= 0) return -1;
  return transport->Receive(buffer, length);
}

long TransportControl(BIO* /*bio*/, int command, long /*number*/, void* /*pointer*/) {
  // Records leave as the transport sends them: a flush has nothing to do. Every other control
  // (pending counts, end of file) has no answer here.
  return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int TransportCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

// The transport BIO's methods, made once for the program; null when the library cannot make
// them.
const BIO_METHOD* TransportMethod() {
  static const struct Method {
    Method() {
      const int index = BIO_get_new_index();
      if (index == -1) return;
      method = BIO_meth_new(index | BIO_TYPE_SOURCE_SINK, "quarv transport");
      if (method == nullptr) return;
      if (BIO_meth_set_write(method, TransportWrite) != 1 ||
          BIO_meth_set_read(method, TransportRead) != 1 ||
          BIO_meth_set_ctrl(method, TransportControl) != 1 ||
          BIO_meth_set_create(method, TransportCreate) != 1) {
        BIO_meth_free(method);
        method = nullptr;
      }
    }
    ~Method() { BIO_meth_free(method); }
    Method(const Method&) = delete;
    Method& operator=(const Method&) = delete;
    BIO_METHOD* method = nullptr;
  } kMethod;
  return kMethod.method;
}

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
  // A read takes what the socket holds beyond the record it needs, up to the session's buffer
  // of one record of the largest size: one receive call a record instead of two (its header,
  // then the rest). The buffer stays at that size: the library moves what it holds beyond a
  // record to the buffer's start before each next record, so a larger buffer full of small
  // records costs far more in those moves than it saves in receive calls. A record that brings
  // no plaintext (a key update) is read past within the same call.
  SSL_CTX_set_read_ahead(raw, 1);
  SSL_CTX_set_mode(raw, SSL_MODE_AUTO_RETRY);
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
    // The chain is not even built: the library's verification would find nothing to trust.
    SSL_CTX_set_verify(raw, SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_cert_verify_callback(
        raw, [](X509_STORE_CTX* /*chain*/, void* /*argument*/) { return 1; }, nullptr);
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
  ~State() { SSL_free(session); }  // frees the transport BIO too
  SSL* session = nullptr;
  BIO* transport = nullptr;
  bool failed = false;
};

namespace {

// For one call of a channel: the transport BIO reads and writes through `transport`.
class Bound {
 public:
  Bound(BIO* bio, TlsTransport& transport) : bio_(bio) { BIO_set_data(bio_, &transport); }
  ~Bound() { BIO_set_data(bio_, nullptr); }
  Bound(const Bound&) = delete;
  Bound& operator=(const Bound&) = delete;

 private:
  BIO* bio_;
};

}  // namespace

TlsChannel::TlsChannel(const TlsContext& context) : state_(std::make_unique<State>()) {
  ERR_clear_error();
  SSL* session = SSL_new(context.state_->context.get());
  const BIO_METHOD* method = TransportMethod();
  BIO* transport = method != nullptr ? BIO_new(method) : nullptr;
  if (session == nullptr || transport == nullptr) {
    SSL_free(session);
    BIO_free(transport);
    error_ = tls::LibraryError("out of memory");
    state_->failed = true;
    return;
  }
  SSL_set_bio(session, transport, transport);  // one BIO both ways, owned by the session
  if (context.IsServer()) {
    SSL_set_accept_state(session);
  } else {
    SSL_set_connect_state(session);
  }
  state_->session = session;
  state_->transport = transport;
}

TlsChannel::~TlsChannel() = default;

bool TlsChannel::IsUsable() const {
  return state_->session != nullptr && !state_->failed;
}

bool TlsChannel::Handshake(TlsTransport& transport) {
  if (!IsUsable()) return false;
  const Bound bound(state_->transport, transport);
  ERR_clear_error();
  const int result = SSL_do_handshake(state_->session);
  if (result == 1) return true;
  const int kind = SSL_get_error(state_->session, result);
  state_->failed = true;
  error_ = tls::LibraryError(kind == SSL_ERROR_SYSCALL || kind == SSL_ERROR_ZERO_RETURN
                                 ? "the peer ended the handshake"
                                 : "the handshake failed");
  return false;
}

int TlsChannel::Read(char* buffer, int length, TlsTransport& transport) {
  if (!IsUsable() || length <= 0) return -1;
  const Bound bound(state_->transport, transport);
  ERR_clear_error();
  const int result = SSL_read(state_->session, buffer, length);
  if (result > 0) return result;
  const int kind = SSL_get_error(state_->session, result);
  state_->failed = true;
  error_ = kind == SSL_ERROR_ZERO_RETURN ? "the peer closed the session"
                                         : tls::LibraryError("the session failed");
  return -1;
}

bool TlsChannel::Write(const char* data, std::size_t length, TlsTransport& transport) {
  if (!IsUsable()) return false;
  if (length == 0) return true;
  const Bound bound(state_->transport, transport);
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
