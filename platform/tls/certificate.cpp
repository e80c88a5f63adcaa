// The service's identity: fingerprints, a new self-signed certificate, and the check that a
// certificate and its key belong together. With channel.cpp the only file that knows OpenSSL.
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <array>
#include <cctype>
#include <ctime>
#include <memory>
#include <string>

#include "platform/tls.h"
#include "platform/tls/library.h"

namespace quarv::platform {

namespace {

using tls::Bignum;
using tls::Bio;
using tls::Certificate;
using tls::Extension;
using tls::Key;
using tls::LibraryError;
using tls::Name;

// SHA-256: 32 bytes, 64 hexadecimal digits.
constexpr std::size_t kSha256Length = 32;
constexpr std::size_t kFingerprintDigits = kSha256Length * 2;
// Random bits of a new certificate's serial number.
constexpr int kSerialBits = 128;
// How long a new certificate is valid, in days (ten years, leap days included).
constexpr long kValidityDays = 3653;
// The longest common name a certificate takes (RFC 5280: ub-common-name).
constexpr std::size_t kCommonNameLimit = 64;
// The longest host name that counts as one (RFC 1035), and the longest of its labels.
constexpr std::size_t kHostNameLimit = 253;
constexpr std::size_t kLabelLimit = 63;

bool Fail(std::string* error, const std::string& why) {
  if (error != nullptr) *error = why;
  return false;
}

// A memory BIO that reads `text`; the text must outlive it.
Bio ReadingBio(const std::string& text) {
  return Bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

// Everything written into a memory BIO.
std::string Contents(BIO* bio) {
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  return length > 0 && data != nullptr ? std::string(data, static_cast<std::size_t>(length))
                                       : std::string();
}

// Letters, digits and hyphens in dot-separated labels of 1 to 63 characters that neither begin
// nor end with a hyphen: a name a DNS subjectAltName may hold.
bool IsPlausibleHostName(const std::string& name) {
  if (name.empty() || name.size() > kHostNameLimit) return false;
  std::size_t labelStart = 0;
  for (std::size_t at = 0; at <= name.size(); ++at) {
    if (at == name.size() || name[at] == '.') {
      const std::size_t length = at - labelStart;
      if (length == 0 || length > kLabelLimit || name[labelStart] == '-' || name[at - 1] == '-') {
        return false;
      }
      labelStart = at + 1;
      continue;
    }
    const auto c = static_cast<unsigned char>(name[at]);
    if (std::isalnum(c) == 0 && c != '-') return false;
  }
  return true;
}

bool AddExtension(X509* certificate, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
  const Extension extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value));
  return extension != nullptr && X509_add_ext(certificate, extension.get(), -1) == 1;
}

// The certificate's DER bytes, fingerprinted.
bool CertificateFingerprint(X509* certificate, std::string* fingerprint) {
  unsigned char* der = nullptr;
  const int length = i2d_X509(certificate, &der);
  if (length <= 0 || der == nullptr) return false;
  *fingerprint = Sha256Fingerprint(der, static_cast<std::size_t>(length));
  OPENSSL_free(der);
  return true;
}

}  // namespace

std::string Sha256Fingerprint(const unsigned char* data, std::size_t length) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int digestLength = 0;
  if (EVP_Digest(data, length, digest.data(), &digestLength, EVP_sha256(), nullptr) != 1 ||
      digestLength != kSha256Length) {
    ERR_clear_error();
    return {};
  }
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(kSha256Length * 3 - 1);
  for (unsigned int i = 0; i < digestLength; ++i) {
    if (i != 0) text += ':';
    text += kDigits[digest[i] >> 4];
    text += kDigits[digest[i] & 0x0F];
  }
  return text;
}

bool ParseFingerprint(const std::string& text, std::string* fingerprint) {
  std::string digits;
  for (const char c : text) {
    if (c == ':' || c == ' ' || c == '\t') continue;
    if (std::isxdigit(static_cast<unsigned char>(c)) == 0) return false;
    if (digits.size() == kFingerprintDigits) return false;
    digits += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  if (digits.size() != kFingerprintDigits) return false;
  std::string pinned;
  pinned.reserve(kSha256Length * 3 - 1);
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    if (i != 0) pinned += ':';
    pinned.append(digits, i, 2);
  }
  *fingerprint = pinned;
  return true;
}

bool MakeSelfSignedIdentity(const std::string& commonName, std::string* certificatePem,
                            std::string* keyPem, std::string* error) {
  if (commonName.empty() || commonName.size() > kCommonNameLimit) {
    return Fail(error, "the common name \"" + commonName + "\" does not fit a certificate");
  }
  const Key key(EVP_EC_gen("P-256"));
  if (key == nullptr) return Fail(error, LibraryError("no P-256 key could be made"));

  const Certificate certificate(X509_new());
  if (certificate == nullptr || X509_set_version(certificate.get(), X509_VERSION_3) != 1) {
    return Fail(error, LibraryError("no certificate could be made"));
  }
  // A random positive serial number.
  const Bignum serial(BN_new());
  if (serial == nullptr ||
      BN_rand(serial.get(), kSerialBits, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) != 1 ||
      BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(certificate.get())) == nullptr) {
    return Fail(error, LibraryError("no serial number could be drawn"));
  }
  // The end is counted in days from now by the library, never as a time_t of our own: a
  // 32-bit time_t would not reach past 2038.
  if (X509_gmtime_adj(X509_getm_notBefore(certificate.get()), 0) == nullptr ||
      ASN1_TIME_adj(X509_getm_notAfter(certificate.get()), std::time(nullptr), kValidityDays, 0) ==
          nullptr) {
    return Fail(error, LibraryError("the validity could not be set"));
  }
  const Name name(X509_NAME_new());
  if (name == nullptr ||
      X509_NAME_add_entry_by_txt(name.get(), "CN", MBSTRING_UTF8,
                                 reinterpret_cast<const unsigned char*>(commonName.c_str()),
                                 static_cast<int>(commonName.size()), -1, 0) != 1 ||
      X509_set_subject_name(certificate.get(), name.get()) != 1 ||
      X509_set_issuer_name(certificate.get(), name.get()) != 1 ||
      X509_set_pubkey(certificate.get(), key.get()) != 1) {
    return Fail(error, LibraryError("the certificate's names could not be set"));
  }
  const std::string altName = "DNS:" + commonName;
  if (!AddExtension(certificate.get(), NID_basic_constraints, "critical,CA:FALSE") ||
      !AddExtension(certificate.get(), NID_key_usage, "critical,digitalSignature") ||
      !AddExtension(certificate.get(), NID_ext_key_usage, "serverAuth") ||
      (IsPlausibleHostName(commonName) &&
       !AddExtension(certificate.get(), NID_subject_alt_name, altName.c_str()))) {
    return Fail(error, LibraryError("the certificate's extensions could not be set"));
  }
  if (X509_sign(certificate.get(), key.get(), EVP_sha256()) <= 0) {
    return Fail(error, LibraryError("the certificate could not be signed"));
  }

  const Bio certificateOut(BIO_new(BIO_s_mem()));
  const Bio keyOut(BIO_new(BIO_s_mem()));
  if (certificateOut == nullptr || keyOut == nullptr ||
      PEM_write_bio_X509(certificateOut.get(), certificate.get()) != 1 ||
      PEM_write_bio_PrivateKey(keyOut.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) !=
          1) {
    return Fail(error, LibraryError("the certificate could not be written as PEM"));
  }
  *certificatePem = Contents(certificateOut.get());
  *keyPem = Contents(keyOut.get());
  return true;
}

bool CheckIdentity(const std::string& certificatePem, const std::string& keyPem,
                   std::string* fingerprint, std::string* error) {
  ERR_clear_error();
  const Bio certificateIn = ReadingBio(certificatePem);
  const Certificate certificate(
      certificateIn != nullptr ? PEM_read_bio_X509(certificateIn.get(), nullptr, nullptr, nullptr)
                               : nullptr);
  if (certificate == nullptr) return Fail(error, LibraryError("the certificate is not PEM"));
  const Bio keyIn = ReadingBio(keyPem);
  // No passphrase: an encrypted key fails here rather than prompting.
  static constexpr char kNoPassphrase[] = "";
  const Key key(keyIn != nullptr ? PEM_read_bio_PrivateKey(keyIn.get(), nullptr, nullptr,
                                                           const_cast<char*>(kNoPassphrase))
                                 : nullptr);
  if (key == nullptr) return Fail(error, LibraryError("the key is not PEM"));
  if (X509_check_private_key(certificate.get(), key.get()) != 1) {
    ERR_clear_error();
    return Fail(error, "the key does not match the certificate");
  }
  std::string print;
  if (!CertificateFingerprint(certificate.get(), &print) || print.empty()) {
    return Fail(error, LibraryError("the certificate cannot be fingerprinted"));
  }
  if (fingerprint != nullptr) *fingerprint = print;
  return true;
}

}  // namespace quarv::platform
