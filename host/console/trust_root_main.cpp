// vardok-trust-root CERT.pem: makes the project's Wine prefix trust the
// issuer of the hosts' HTTPS test pages. A development tool; never shipped.
#include <cstdio>
#include <string>

#include "host/serve/certificates.h"

int main(int argc, char** argv) {
  const std::string file = argc > 1 ? argv[1] : VardokHost::certificateFolder() + "ca.pem";
  std::string error;
  if (!VardokHost::trustRootCertificate(file, &error)) {
    std::fprintf(stderr, "vardok-trust-root: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
