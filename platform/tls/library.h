// What the two files of the TLS layer share of the library: owning pointers to its objects, and
// its reason for a failure. Included only by platform/tls/*.cpp.
#pragma once

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <string>

namespace quarv::platform::tls {

template <typename T, void (*kFree)(T*)>
struct Free {
  void operator()(T* object) const { kFree(object); }
};
using Bio = std::unique_ptr<BIO, Free<BIO, [](BIO* bio) { BIO_free(bio); }>>;
using Certificate = std::unique_ptr<X509, Free<X509, X509_free>>;
using Key = std::unique_ptr<EVP_PKEY, Free<EVP_PKEY, EVP_PKEY_free>>;
using Bignum = std::unique_ptr<BIGNUM, Free<BIGNUM, BN_free>>;
using Extension = std::unique_ptr<X509_EXTENSION, Free<X509_EXTENSION, X509_EXTENSION_free>>;
using Name = std::unique_ptr<X509_NAME, Free<X509_NAME, X509_NAME_free>>;
using Context = std::unique_ptr<SSL_CTX, Free<SSL_CTX, SSL_CTX_free>>;

// `what`, with the library's reason for its last failure when it gave one ("what (reason)");
// the library's error queue of this thread is emptied.
inline std::string LibraryError(const std::string& what) {
  const unsigned long code = ERR_peek_last_error();
  std::string text = what;
  if (code != 0) {
    const char* reason = ERR_reason_error_string(code);
    text += reason != nullptr ? " (" + std::string(reason) + ")"
                              : " (error " + std::to_string(code) + ")";
  }
  ERR_clear_error();
  return text;
}

}  // namespace quarv::platform::tls
