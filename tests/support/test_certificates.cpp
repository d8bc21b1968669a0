#include "tests/support/test_certificates.h"

#include <cstdlib>

#include "tests/support/run_program.h"

const char kLeafLocalhost[] = "localhost";
const char kLeafOtherName[] = "othername";
const char kLeafExpired[] = "expired";
const char kLeafUntrusted[] = "untrusted";
const char kLeafManyNames[] = "manynames";
const char kLeafCommonNameOnly[] = "cnonly";
const char kLeafBehindExpired[] = "behindexpired";
const char kLeafHuge[] = "huge";
const char kAskingClientCertificate[] = "+asks";
const char kRequiringClientCertificate[] = "+requires";
const char kAtMostTls12[] = "+tls12";

namespace {

std::string hugeNames(std::string names = "DNS:localhost,IP:127.0.0.1") {  // enough for about 150 KiB
    for (int index = 0; index < 4000; ++index) names += ",DNS:n" + std::to_string(index) + ".fill-a-certificate.test";
    return names;
}

// The shell commands that make an authority and the leaves it signs.
std::string makingCommands(const std::string& d) {
    std::string key = " -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes";
    auto authority = [&](const std::string& name) {
        return "openssl req -x509" + key + " -keyout " + d + name + ".key -out " + d + name +
               ".pem -days 2 -subj '/CN=webhaul " + name + "'\n";
    };
    auto signedBy = [&](const std::string& name, const std::string& subject, const std::string& extensions,
                        const std::string& signer, const std::string& days) {
        return "openssl req" + key + " -keyout " + d + name + ".key -out " + d + name + ".csr -subj '" + subject +
               "'\nprintf '" + extensions + "\\n' > " + d + name + ".ext\n" + "openssl x509 -req -in " + d + name +
               ".csr -CA " + d + signer + ".pem -CAkey " + d + signer + ".key -CAcreateserial -out " + d + name +
               ".pem -days " + days + (extensions.empty() ? "" : " -extfile " + d + name + ".ext") + "\n";
    };
    auto leaf = [&](const std::string& name, const std::string& names, const std::string& signer,
                    const std::string& days) {
        return signedBy(name, "/CN=" + name, "subjectAltName=" + names, signer, days);
    };
    return "set -e\n" + authority("authority") + authority("stranger") +
           leaf(kLeafLocalhost, "DNS:localhost,IP:127.0.0.1", "authority", "2") +
           leaf(kLeafOtherName, "DNS:other.test", "authority", "2") +
           leaf(kLeafExpired, "DNS:localhost,IP:127.0.0.1", "authority", "-1") +
           leaf(kLeafUntrusted, "DNS:localhost,IP:127.0.0.1", "stranger", "2") +
           leaf(kLeafManyNames, "DNS:a\\033[2J.test,DNS:b.test,DNS:c.test,DNS:d.test,DNS:e.test,DNS:f.test,IP:10.0.0.1",
                "authority", "2") +
           signedBy(kLeafCommonNameOnly, "/CN=127.0.0.1", "", "authority", "2") +
           signedBy("intermediate", "/CN=webhaul intermediate", "basicConstraints=critical,CA:TRUE", "authority", "-1") +
           leaf(kLeafBehindExpired, "DNS:localhost,IP:127.0.0.1", "intermediate", "2") +
           "cat " + d + "intermediate.pem >> " + d + kLeafBehindExpired + ".pem\n" +  // the chain the server sends
           leaf(kLeafHuge, hugeNames(), "authority", "2");
}

}  // namespace

const std::string& testCertificateDirectory() {
    static std::string directory;
    static int tried = 0;
    if (!tried) {
        tried = 1;
        static ScratchDirectory scratch;  // removed when the process ends
        const std::string& made = scratch.path;
        std::string script = made + "make.sh";
        if (!made.empty() && writeFileBytes(script, makingCommands(made)) &&
            std::system(("sh " + script + " >" + made + "make.log 2>&1").c_str()) == 0) {
            directory = made;
        }
    }
    return directory;
}

std::string testAuthorityBundle() { return testCertificateDirectory() + "authority.pem"; }
