// .netrc texts read for a host: the entry chosen, and the texts that are
// not used at all.
#include <gtest/gtest.h>

#include <string>

#include "app/netrc.h"
#include "tests/support/in_process.h"

namespace {

struct NetrcCase {
    const char* name;
    const char* text;
    const char* host;
    std::string expected;  // "user password", "user" without one, "none", or "malformed: <why>"
};

void PrintTo(const NetrcCase& c, std::ostream* os) { *os << c.name; }

const NetrcCase kNetrcCases[] = {
    {"Machine", "machine a.example login u password p", "a.example", "u p"},
    {"MachineWithoutCase", "machine A.Example\n  login u\n  password p\n", "a.example", "u p"},
    {"OtherMachineOnly", "machine b.example login u password p", "a.example", "none"},
    {"FirstMatchingMachine", "machine a login 1 password 1 machine a login 2 password 2", "a", "1 1"},
    {"DefaultWhenNoMachine", "machine b login u password p\ndefault login d password q", "a", "d q"},
    {"MachineBeforeDefault", "default login d password q\nmachine a login u password p", "a", "u p"},
    {"WithoutPassword", "machine a login u", "a", "u"},
    {"MachineWithoutLogin", "machine a password p\ndefault login d password q", "a", "none"},
    {"QuotedTokens", "machine a login \"my user\" password \"p \\\"q\\\\\"", "a", "my user p \"q\\"},
    {"AccountIgnored", "machine a account x login u password p", "a", "u p"},
    {"Comment", "# machine a login x password x\nmachine a login u password p # end\n", "a", "u p"},
    {"MacdefSkipped", "macdef init\nmachine a login x password x\n\nmachine a login u password p", "a", "u p"},
    {"MacdefToTheEnd", "machine a login u password p\nmacdef m\nlogin x\n", "a", "u p"},
    {"Empty", "", "a", "none"},
    {"UnknownWord", "machine a login u password p port 80", "a", "malformed: a word that is no keyword"},
    {"LoginBeforeMachine", "login u password p", "a", "malformed: a login before any \"machine\""},
    {"ValueMissing", "machine a login u password", "a", "malformed: a keyword without its value"},
    {"MachineWithoutName", "machine", "a", "malformed: \"machine\" without a name"},
    {"QuoteNotEnded", "machine a login \"u password p", "a", "malformed: a quote that does not end"},
};

class NetrcText : public testing::TestWithParam<NetrcCase> {};

TEST_P(NetrcText, GivesTheHostsLoginOrWhyNot) {
    const NetrcCase& c = GetParam();
    std::string text = c.text;
    NetrcLogin login;
    BoundedString why;
    int finding = findNetrcLogin(&text[0], c.host, login, why);
    std::string got = finding == netrcMalformed ? std::string("malformed: ") + textOf(why)
                      : finding == netrcNoLogin ? "none"
                                                : std::string(textOf(login.user)) +
                                                      (login.hasPassword ? std::string(" ") + textOf(login.password) : "");
    EXPECT_EQ(c.expected, got);
}

INSTANTIATE_TEST_SUITE_P(Cases, NetrcText, testing::ValuesIn(kNetrcCases), CaseName());

}  // namespace
