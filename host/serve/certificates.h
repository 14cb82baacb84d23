// The certificates of the hosts' HTTPS pages, made at build time into the
// folder "certs" beside the programs (scripts/make-certs.sh).
#pragma once

#include <string>

namespace VardokHost {

// The folder "certs\" beside this program, with its trailing backslash.
std::string certificateFolder();

// Adds the PEM certificate in file to the local machine's trusted roots.
// Meant for the project's own Wine prefix: the tests and the scripts trust
// the test issuer there, never on a real machine. Adding one that is there
// already succeeds. On failure says why in *error.
bool trustRootCertificate(const std::string& file, std::string* error);

}  // namespace VardokHost
