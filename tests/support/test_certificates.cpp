#include "tests/support/test_certificates.h"

#include <cstdlib>

#include "tests/support/run_program.h"

const char kLeafLocalhost[] = "localhost";
const char kLeafOtherName[] = "othername";
const char kLeafExpired[] = "expired";
const char kLeafUntrusted[] = "untrusted";

namespace {

// The shell commands that make an authority and the leaves it signs.
std::string makingCommands(const std::string& d) {
    std::string key = " -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes";
    auto authority = [&](const std::string& name) {
        return "openssl req -x509" + key + " -keyout " + d + name + ".key -out " + d + name +
               ".pem -days 2 -subj '/CN=webhaul " + name + "'\n";
    };
    auto leaf = [&](const std::string& name, const std::string& names, const std::string& signer,
                    const std::string& days) {
        return "openssl req" + key + " -keyout " + d + name + ".key -out " + d + name + ".csr -subj '/CN=" + name +
               "'\nprintf 'subjectAltName=" + names + "\\n' > " + d + name + ".ext\n" +
               "openssl x509 -req -in " + d + name + ".csr -CA " + d + signer + ".pem -CAkey " + d + signer +
               ".key -CAcreateserial -out " + d + name + ".pem -days " + days + " -extfile " + d + name + ".ext\n";
    };
    return "set -e\n" + authority("authority") + authority("stranger") +
           leaf(kLeafLocalhost, "DNS:localhost,IP:127.0.0.1", "authority", "2") +
           leaf(kLeafOtherName, "DNS:other.test", "authority", "2") +
           leaf(kLeafExpired, "DNS:localhost,IP:127.0.0.1", "authority", "-1") +
           leaf(kLeafUntrusted, "DNS:localhost,IP:127.0.0.1", "stranger", "2");
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
