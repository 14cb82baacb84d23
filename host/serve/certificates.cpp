#include "host/serve/certificates.h"

#include <fstream>
#include <sstream>
#include <vector>

#include <windows.h>
#include <wincrypt.h>

#include "host/lib/plugin_module.h"

namespace VardokHost {

std::string certificateFolder() { return programFolder() + "certs\\"; }

bool trustRootCertificate(const std::string& file, std::string* error) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return *error = "cannot read " + file, false;
  std::ostringstream pem;
  pem << in.rdbuf();
  const std::string text = pem.str();
  DWORD size = 0;
  if (!CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64HEADER, nullptr, &size,
                            nullptr, nullptr))
    return *error = file + " holds no PEM certificate", false;
  std::vector<BYTE> der(size);
  CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64HEADER, der.data(), &size,
                       nullptr, nullptr);
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, "Root");
  if (!store) return *error = "cannot open the trusted roots (error " + std::to_string(GetLastError()) + ")", false;
  const BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                                      CERT_STORE_ADD_USE_EXISTING, nullptr);
  const DWORD failure = GetLastError();
  CertCloseStore(store, 0);
  if (!added) return *error = "cannot add " + file + " (error " + std::to_string(failure) + ")", false;
  return true;
}

}  // namespace VardokHost
