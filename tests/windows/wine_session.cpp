// The Wine session of the Windows program tests: started before the first
// test and stopped after the last, from inside this binary's private
// network namespace, so that every socket the program opens under Wine is
// opened in that namespace.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/wait.h>

namespace {

// Returns the exit status of the session script run with the action.
int runWineSession(const char* action) {
    std::string command = std::string("'") + WEBHAUL_WINE_SESSION + "' " + action;
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct WineSession : testing::Environment {
    void SetUp() override { ASSERT_EQ(0, runWineSession("start")) << "the Wine session did not start"; }
    void TearDown() override { EXPECT_EQ(0, runWineSession("stop")) << "the Wine session did not stop"; }
};

testing::Environment* const wineSession = testing::AddGlobalTestEnvironment(new WineSession);

}  // namespace
