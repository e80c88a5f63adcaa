// The service's TLS identity: its certificate and private key, two PEM files beside the
// settings. The first start with TLS makes both; every start checks them and logs the
// certificate's fingerprint, which the agents pin.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/tls.h"

namespace quarv {

inline constexpr char kDefaultCertificateName[] = "QuarvSvc.crt";
inline constexpr char kDefaultKeyName[] = "QuarvSvc.key";
// The common name of a certificate made where the machine's host name cannot be told or does
// not fit one.
inline constexpr char kFallbackCommonName[] = "QuarvSvc";

// The service-specific exit code of a start refused because the certificate or the key cannot
// be used: the service status reports ERROR_SERVICE_SPECIFIC_ERROR (1066) with this code.
inline constexpr std::uint32_t kTlsIdentityExitCode = 2;

// The service's side of TLS from the certificate and key at these paths. When neither file
// exists, a new self-signed pair for the machine's host name is made first (the key readable by
// the service's user only) and the log says so. Refused when only one of them exists, when the
// key can be read by others (Linux), or when either cannot be read, is not PEM, or they do not
// belong together: null then, and `reason` says why in one line. Logs the certificate's
// fingerprint on success.
std::unique_ptr<platform::TlsContext> LoadTlsIdentity(const char* certificatePath,
                                                      const char* keyPath, std::string* reason);

}  // namespace quarv
