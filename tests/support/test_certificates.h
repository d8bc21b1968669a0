// Certificates for the https tests, made with openssl when a test first
// asks for them, so that nothing in the repository ever expires: a test
// authority and its leaves (one behind an intermediate), and a leaf of a
// second authority that is trusted nowhere.
#pragma once

#include <string>

// The leaves, each as <name>.pem and <name>.key in the directory.
extern const char kLeafLocalhost[];  // for localhost and 127.0.0.1
extern const char kLeafOtherName[];  // for other.test
extern const char kLeafExpired[];    // for localhost, expired yesterday
extern const char kLeafUntrusted[];  // for localhost, from the untrusted authority
extern const char kLeafManyNames[];  // for a\x1b[2J.test, b.test to f.test and 10.0.0.1
extern const char kLeafCommonNameOnly[];  // no subjectAltName, CN=127.0.0.1
extern const char kLeafBehindExpired[];  // for localhost and 127.0.0.1, behind an intermediate that expired yesterday
extern const char kLeafHuge[];       // for localhost and 127.0.0.1 and 4000 more names: about 150 KiB
// A leaf's name followed by these serves it so: asking for a client
// certificate and going on without one, requiring one, TLS 1.2 at most.
extern const char kAskingClientCertificate[];
extern const char kRequiringClientCertificate[];
extern const char kAtMostTls12[];

// Returns the directory that holds the leaves and authority.pem, the test
// authority alone (a bundle to trust); made once per process. "" when
// openssl failed.
const std::string& testCertificateDirectory();

// Returns the path of the bundle that trusts the test authority.
std::string testAuthorityBundle();
