// The Wine session of the Windows program tests: started before the first
// test and stopped after the last, from inside this binary's private
// network namespace, so that every socket the program opens under Wine is
// opened in that namespace.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/wait.h>

#include "tests/support/run_program.h"
#include "tests/support/test_certificates.h"

namespace {

// Where Wine reads the trusted authorities from when it starts.
const char kHostBundle[] = "/etc/ssl/certs/ca-certificates.crt";

// Returns the exit status of the session script run with the action.
int runWineSession(const char* action) {
    std::string command = std::string("'") + WEBHAUL_WINE_SESSION + "' " + action;
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Has Wine trust the test authority: the session gets a mount namespace of
// its own, where a bundle of the host's authorities and the test authority
// lies over the host's bundle. Returns 1, or 0 with the reason in why.
int trustTestAuthority(std::string& why) {
    std::string hostAuthorities;
    std::string testAuthority;
    if (testCertificateDirectory().empty() || !readFileBytes(testAuthorityBundle(), testAuthority)) {
        why = "openssl could not make the test certificates";
        return 0;
    }
    if (!readFileBytes(kHostBundle, hostAuthorities)) {
        why = std::string("no bundle of trusted authorities at ") + kHostBundle;
        return 0;
    }
    std::string bundle = testCertificateDirectory() + "wine-bundle.pem";
    if (!writeFileBytes(bundle, hostAuthorities + "\n" + testAuthority)) {
        why = "cannot write " + bundle;
        return 0;
    }
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount(bundle.c_str(), kHostBundle, nullptr, MS_BIND, nullptr) != 0) {
        why = std::string("cannot lay the test bundle over the host's: ") + std::strerror(errno);
        return 0;
    }
    return 1;
}

struct WineSession : testing::Environment {
    void SetUp() override {
        std::string why;
        EXPECT_TRUE(trustTestAuthority(why)) << why << "; the https cases that need a trusted server fail";
        ASSERT_EQ(0, runWineSession("start")) << "the Wine session did not start";
    }
    void TearDown() override { EXPECT_EQ(0, runWineSession("stop")) << "the Wine session did not stop"; }
};

testing::Environment* const wineSession = testing::AddGlobalTestEnvironment(new WineSession);

}  // namespace
