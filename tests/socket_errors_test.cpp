#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

#include "platform/platform.h"
#include "support/log.h"
#include "support/socket_errors.h"
#include "tests/support/fake_server.h"
#include "tests/support/in_process.h"

namespace {

// Read during constant initialisation, before any test changes it.
const int kStartingVerbosity = verbosity;

struct ErrorRowCase {
    int code;
    const char* text;  // null: the code has no row
};

void PrintTo(const ErrorRowCase& c, std::ostream* os) { *os << "code " << c.code; }

class SocketErrorText : public testing::TestWithParam<ErrorRowCase> {};

TEST_P(SocketErrorText, MatchesTable) {
    const char* text = socketErrorText(GetParam().code);
    if (GetParam().text == nullptr) {
        EXPECT_EQ(nullptr, text) << text;
    } else {
        ASSERT_NE(nullptr, text);
        EXPECT_STREQ(GetParam().text, text);
    }
}

INSTANTIATE_TEST_SUITE_P(OddRows, SocketErrorText,
    testing::Values(ErrorRowCase{10004, "Interrupt"}, ErrorRowCase{10024, "MFILE (?)"},
                    ErrorRowCase{10059, "Too many REFS"}, ErrorRowCase{10067, "PROCLIM"},
                    ErrorRowCase{10093, "Not initialised"}, ErrorRowCase{10101, "Disconnected"},
                    ErrorRowCase{10054, "Connection reset"}, ErrorRowCase{10061, "Connection refused"},
                    ErrorRowCase{0, nullptr}, ErrorRowCase{-1, nullptr}, ErrorRowCase{10003, nullptr},
                    ErrorRowCase{10005, nullptr}, ErrorRowCase{10023, nullptr}, ErrorRowCase{10072, nullptr},
                    ErrorRowCase{10090, nullptr}, ErrorRowCase{10094, nullptr}, ErrorRowCase{10100, nullptr},
                    ErrorRowCase{10102, nullptr}, ErrorRowCase{11001, nullptr}, ErrorRowCase{11004, nullptr}));

class LookupErrorText : public testing::TestWithParam<ErrorRowCase> {};

TEST_P(LookupErrorText, MatchesTable) {
    const char* text = lookupErrorText(GetParam().code);
    if (GetParam().text == nullptr) {
        EXPECT_EQ(nullptr, text) << text;
    } else {
        ASSERT_NE(nullptr, text);
        EXPECT_STREQ(GetParam().text, text);
    }
}

INSTANTIATE_TEST_SUITE_P(AllRows, LookupErrorText,
    testing::Values(ErrorRowCase{11001, "Host not found"}, ErrorRowCase{11002, "Try again"},
                    ErrorRowCase{11003, "Non-recoverable error"}, ErrorRowCase{11004, "No data record"},
                    ErrorRowCase{11000, nullptr}, ErrorRowCase{11005, nullptr}, ErrorRowCase{0, nullptr},
                    ErrorRowCase{10054, nullptr}));

TEST(SocketErrorTable, HasExactly47Rows) {
    int rows = 0;
    for (int code = -100; code < 30000; ++code) rows += socketErrorText(code) != nullptr;
    EXPECT_EQ(47, rows);
}

struct LevelCase {
    int verbosity;
    int level;
    bool shown;
};

void PrintTo(const LevelCase& c, std::ostream* os) { *os << "verbosity " << c.verbosity << ", level " << c.level; }

class LogLevel : public testing::TestWithParam<LevelCase> {};

TEST_P(LogLevel, WritesOnlyUpToVerbosity) {
    verbosity = GetParam().verbosity;
    StderrCapture capture;
    beginStderrCapture(capture);
    logAt(GetParam().level, "%s %d\r", "as formatted", 42);
    std::string written = endStderrCapture(capture);
    EXPECT_EQ(GetParam().shown ? "as formatted 42\r" : "", written);
}

INSTANTIATE_TEST_SUITE_P(Levels, LogLevel,
    testing::Values(LevelCase{0, 0, true}, LevelCase{0, 1, false}, LevelCase{3, 3, true},
                    LevelCase{3, 4, false}, LevelCase{9, 9, true}, LevelCase{8, 9, false},
                    LevelCase{1, -1, true}));

TEST(Log, StartsAtLevel3) { EXPECT_EQ(3, kStartingVerbosity); }

// Returns what reportFailure writes at level 1 after the given call failed.
std::string reportAfter(const char* what) {
    verbosity = 1;
    StderrCapture capture;
    beginStderrCapture(capture);
    reportFailure(what);
    return endStderrCapture(capture);
}

TEST(ReportFailure, LookupCodeWithoutRowLeavesTextEmpty) {
    AddressList addresses;
    ASSERT_NE(0, resolveHostName("no-such-host.invalid", 80, addresses));
    EXPECT_STREQ("", textOf(lastSocketErrorText()));
    EXPECT_EQ("GetHostByName: ", reportAfter("GetHostByName"));
}

TEST(ReportFailure, NamesLastSocketError) {
    unsigned short port = 0;
    int refusing = openRefusingPort(port);
    ASSERT_GE(refusing, 0);
    AddressList addresses;
    ASSERT_EQ(1, parseNumericAddress("127.0.0.1", port, addresses));
    SocketHandle socket = openTcpSocket(addresses.entries[0]);
    ASSERT_EQ(-1, connectSocket(socket, addresses.entries[0]));
    closeSocket(socket);
    close(refusing);
    EXPECT_EQ("connect: Connection refused", reportAfter("connect"));
}

}  // namespace

namespace {

// Returns what reportLookupFailure writes at level 1 after looking name up.
std::string lookupReportFor(const char* name) {
    AddressList addresses;
    EXPECT_NE(0, resolveHostName(name, 80, addresses));
    verbosity = 1;
    StderrCapture capture;
    beginStderrCapture(capture);
    reportLookupFailure("GetHostByName");
    return endStderrCapture(capture);
}

struct LookupCase {
    const char* name;
    const char* host;
    const char* written;
};

void PrintTo(const LookupCase& c, std::ostream* os) { *os << c.name; }

class ReportLookupFailure : public testing::TestWithParam<LookupCase> {};

TEST_P(ReportLookupFailure, GivesReasonAndLineEnd) {
    EXPECT_EQ(GetParam().written, lookupReportFor(GetParam().host));
}

// The tests run in a private network where no name server answers: a
// well-formed name can only fail for now, a malformed one fails for good.
INSTANTIATE_TEST_SUITE_P(PrivateNetwork, ReportLookupFailure,
    testing::Values(LookupCase{"NoNameServer", "no-such-host.invalid", "GetHostByName: Try again\n"},
                    LookupCase{"EmptyLabel", "bad..name", "GetHostByName: Host not found\n"},
                    LookupCase{"EmptyName", "", "GetHostByName: Host not found\n"}),
    [](const testing::TestParamInfo<LookupCase>& tested) { return std::string(tested.param.name); });

}  // namespace
