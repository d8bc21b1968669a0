// Certificates for the https tests, made with openssl when a test first
// asks for them, so that nothing in the repository ever expires: a test
// authority and its leaves, and a leaf of a second authority that is
// trusted nowhere.
#pragma once

#include <string>

// The leaves, each as <name>.pem and <name>.key in the directory.
extern const char kLeafLocalhost[];  // for localhost and 127.0.0.1
extern const char kLeafOtherName[];  // for other.test
extern const char kLeafExpired[];    // for localhost, expired yesterday
extern const char kLeafUntrusted[];  // for localhost, from the untrusted authority

// Returns the directory that holds the leaves and authority.pem, the test
// authority alone (a bundle to trust); made once per process. "" when
// openssl failed.
const std::string& testCertificateDirectory();

// Returns the path of the bundle that trusts the test authority.
std::string testAuthorityBundle();
