#include "service/tls_identity.h"

#include <string>

#include "platform/file.h"
#include "platform/net.h"
#include "platform/private_file.h"
#include "service/audit_log.h"

namespace quarv {

namespace {

// The longest common name a certificate takes (RFC 5280: ub-common-name).
constexpr std::size_t kCommonNameLimit = 64;

// The system's reason, as the other refusals give it: "(text, error 13)".
std::string Because(const platform::SystemError& error) {
  return " (" + error.text + ", error " + std::to_string(error.code) + ")";
}

// Permission bits as an operator writes them: "0644".
std::string ModeText(std::uint32_t mode) {
  std::string text;
  for (int shift = 9; shift >= 0; shift -= 3) {
    text += static_cast<char>('0' + ((mode >> shift) & 07));
  }
  return text;
}

std::unique_ptr<platform::TlsContext> Refuse(std::string* reason, const std::string& why) {
  if (reason != nullptr) *reason = "TLS: " + why;
  return nullptr;
}

// A new pair for this machine: the key first, written so that only the service's user may read
// it, then the certificate. False, with the reason, when either cannot be made or written; then
// neither file is left behind.
bool MakeIdentity(const std::string& certificatePath, const std::string& keyPath,
                  std::string* reason) {
  std::string commonName = platform::HostName();
  if (commonName.empty() || commonName.size() > kCommonNameLimit) {
    commonName = kFallbackCommonName;
  }
  std::string certificatePem;
  std::string keyPem;
  std::string error;
  if (!platform::MakeSelfSignedIdentity(commonName, &certificatePem, &keyPem, &error)) {
    *reason = "no certificate could be made: " + error;
    return false;
  }
  platform::SystemError failure;
  if (!platform::WritePrivateFile(keyPath.c_str(), keyPem, &failure)) {
    *reason = "the key " + keyPath + " cannot be written" + Because(failure);
    return false;
  }
  if (!platform::WriteNewFile(certificatePath.c_str(), certificatePem, &failure)) {
    // A key without its certificate would refuse the next start.
    static_cast<void>(platform::RemoveFile(keyPath.c_str()));
    *reason = "the certificate " + certificatePath + " cannot be written" + Because(failure);
    return false;
  }
  ServiceLog().Write(LogLevel::Notice, "TLS: made the certificate " + certificatePath +
                                           " (CN=" + commonName + ") and its key " + keyPath);
  return true;
}

}  // namespace

std::unique_ptr<platform::TlsContext> LoadTlsIdentity(const char* certificatePath,
                                                      const char* keyPath, std::string* reason) {
  const std::string certificate = certificatePath;
  const std::string key = keyPath;
  platform::SystemError failure;
  std::uint32_t mode = 0;
  platform::PrivacyCheck keyState = platform::CheckPrivateFile(keyPath, &mode, &failure);
  const bool certificateMissing = platform::CheckPrivateFile(certificatePath, nullptr, nullptr) ==
                                  platform::PrivacyCheck::Missing;
  const bool keyMissing = keyState == platform::PrivacyCheck::Missing;
  if (certificateMissing && keyMissing) {
    std::string why;
    if (!MakeIdentity(certificate, key, &why)) return Refuse(reason, why);
    keyState = platform::CheckPrivateFile(keyPath, &mode, &failure);
  } else if (keyMissing) {
    return Refuse(reason, "the certificate " + certificate + " is there but its key " + key +
                              " is missing: restore the key, or remove the certificate to have "
                              "a new pair made");
  } else if (certificateMissing) {
    return Refuse(reason, "the key " + key + " is there but its certificate " + certificate +
                              " is missing: restore the certificate, or remove the key to have "
                              "a new pair made");
  }
  switch (keyState) {
    case platform::PrivacyCheck::Private:
      break;
    case platform::PrivacyCheck::ReadableByOthers:
      return Refuse(reason, "the key " + key + " can be read by others (mode " + ModeText(mode) +
                                "): make it readable by the service only");
    case platform::PrivacyCheck::Missing:
    case platform::PrivacyCheck::Unreadable:
      return Refuse(reason, "the key " + key + " cannot be examined" + Because(failure));
  }

  std::string certificatePem;
  std::string keyPem;
  if (!platform::ReadWholeFile(certificatePath, &certificatePem, &failure)) {
    return Refuse(reason, "the certificate " + certificate + " cannot be read" + Because(failure));
  }
  if (!platform::ReadWholeFile(keyPath, &keyPem, &failure)) {
    return Refuse(reason, "the key " + key + " cannot be read" + Because(failure));
  }
  std::string fingerprint;
  std::string error;
  if (!platform::CheckIdentity(certificatePem, keyPem, &fingerprint, &error)) {
    return Refuse(reason, "the certificate " + certificate + " and the key " + key +
                              " cannot be used: " + error);
  }
  std::unique_ptr<platform::TlsContext> context =
      platform::TlsContext::ForServer(certificatePem, keyPem, &error);
  if (context == nullptr) return Refuse(reason, "the certificate cannot be served: " + error);
  ServiceLog().Write(LogLevel::Notice, "TLS certificate SHA-256 fingerprint " + fingerprint);
  return context;
}

}  // namespace quarv
