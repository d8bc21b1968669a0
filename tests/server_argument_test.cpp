// The server argument taken apart: host names and dotted addresses with and
// without a port, http:// URLs, and each kind of argument that is refused.
#include <gtest/gtest.h>

#include <string>

#include "app/server_argument.h"
#include "tests/support/in_process.h"

namespace {

struct ArgumentCase {
    const char* name;
    std::string argument;
    int accepted;
    const char* host;
    int port;
    std::string path;     // "" when the argument names none
    std::string problem;  // the level-1 line of a refused argument
    std::string login = "";  // the user information as Basic credentials
};

void PrintTo(const ArgumentCase& c, std::ostream* os) { *os << c.name; }

#define kBadHostStart "Bad host name: \""
#define kBadHostEnd "\" (letters, digits, '-', '_' and '.', or an IPv6 address in brackets)\n"
const char kControlLine[] = "The path holds a control character, which could end the request line\n";
const std::string kLongQuery = "?" + std::string(kBoundedStringCap, 'q');

const ArgumentCase kArgumentCases[] = {
    {"HostName", "www.example.com", 1, "www.example.com", 80, "", ""},
    {"DottedAddress", "10.1.2.3", 1, "10.1.2.3", 80, "", ""},
    {"NameWithPort", "files.example.com:8080", 1, "files.example.com", 8080, "", ""},
    {"DottedWithPort", "127.0.0.1:1", 1, "127.0.0.1", 1, "", ""},
    {"HighestPort", "h:65535", 1, "h", 65535, "", ""},
    {"LeadingZerosInPort", "h:00080", 1, "h", 80, "", ""},
    {"NameCaseKept", "WWW.Example.COM", 1, "WWW.Example.COM", 80, "", ""},
    {"UrlWithoutPath", "http://www.example.com", 1, "www.example.com", 80, "", ""},
    {"UrlRootPath", "http://www.example.com/", 1, "www.example.com", 80, "/", ""},
    {"UrlSchemeInAnyCase", "HtTp://h/a", 1, "h", 80, "/a", ""},
    {"UrlPortAndPath", "http://127.0.0.1:8080/big.bin", 1, "127.0.0.1", 8080, "/big.bin", ""},
    {"UrlQueryKept", "http://h/a/b.cgi?x=1&y=/z", 1, "h", 80, "/a/b.cgi?x=1&y=/z", ""},
    {"UrlFragmentDropped", "http://h/page.html#part?x", 1, "h", 80, "/page.html", ""},
    {"UrlOnlyFragment", "http://h:81#top", 1, "h", 81, "", ""},
    {"UrlQueryWithoutPath", "http://h?x=1", 1, "h", 80, "/?x=1", ""},
    {"UrlQueryAtTheCap", "http://h" + kLongQuery.substr(0, kBoundedStringCap - 1), 1, "h", 80,
     "/" + kLongQuery.substr(0, kBoundedStringCap - 1), ""},
    {"UrlQueryPastTheCap", "http://h" + kLongQuery, 0, "", 0, "", "The path is too long\n"},
    {"UrlPathPastTheCapOnceEscaped", "http://h/" + std::string(30000, ' '), 0, "", 0, "", "The path is too long\n"},
    {"HostTooLong", std::string(256, 'h'), 0, "", 0, "", "The host name is too long\n"},
    {"UrlEscapesAsGiven", "http://h/a%20b/%7Euser", 1, "h", 80, "/a%20b/%7Euser", ""},
    {"UrlAtSignInPathIsPath", "http://h/mail@x", 1, "h", 80, "/mail@x", ""},
    {"UrlDefaultPortNamed", "http://h:80/", 1, "h", 80, "/", ""},
    {"Ipv6Address", "[::1]", 1, "[::1]", 80, "", ""},
    {"Ipv6AddressWithPort", "[fe80::2:1]:8080", 1, "[fe80::2:1]", 8080, "", ""},
    {"UrlIpv6WithMappedIpv4", "http://[::ffff:127.0.0.1]:81/a", 1, "[::ffff:127.0.0.1]", 81, "/a", ""},
    {"NameWithUnderscore", "my_host-2.example", 1, "my_host-2.example", 80, "", ""},
    {"UrlSpacesEscaped", "http://h/a b?c d#e f", 1, "h", 80, "/a%20b?c%20d", ""},
    {"UrlQueryAloneWithSpace", "http://h? x", 1, "h", 80, "/?%20x", ""},
    {"UrlPathWithLineEnds", "http://h/a HTTP/1.0\r\nX-Evil: 1\r\n\r\nGET /b", 0, "", 0, "", kControlLine},
    {"UrlQueryWithDelete", "http://h/?a\x7f", 0, "", 0, "", kControlLine},
    {"HostWithSpace", "127.0.0.1 evil", 0, "", 0, "", kBadHostStart "127.0.0.1 evil" kBadHostEnd},
    {"HostWithLineEnds", "h\r\nX: 1", 0, "", 0, "", kBadHostStart "h\\x0d\\x0aX" kBadHostEnd},
    {"UrlHostEscaped", "http://a%2eb/", 0, "", 0, "", kBadHostStart "a%2eb" kBadHostEnd},
    {"PathWithoutScheme", "h/a", 0, "", 0, "", kBadHostStart "h/a" kBadHostEnd},
    {"Ipv6Unclosed", "[::1", 0, "", 0, "", kBadHostStart "[::1" kBadHostEnd},
    {"Ipv6NotHex", "[::g]", 0, "", 0, "", kBadHostStart "[::g]" kBadHostEnd},
    {"Ipv6Empty", "[]:80", 0, "", 0, "", kBadHostStart "[]" kBadHostEnd},
    {"Ipv6TextAfter", "[::1]x", 0, "", 0, "", kBadHostStart "[::1]x" kBadHostEnd},
    {"LongHostCut", std::string(50, 'x') + "!", 0, "", 0, "", kBadHostStart + std::string(40, 'x') + "..." kBadHostEnd},
    {"Https", "https://h/a", 1, "h", 443, "/a", ""},
    {"HttpsInAnyCaseWithPort", "HTTPS://h:8443", 1, "h", 8443, "", ""},
    {"Ftp", "FTP://h/a", 0, "", 0, "", "Unsupported scheme: FTP\n"},
    {"AnyWordScheme", "svn+ssh://h", 0, "", 0, "", "Unsupported scheme: svn+ssh\n"},
    {"UserInformation", "http://user:pass@h/a", 1, "h", 80, "/a", "", "dXNlcjpwYXNz"},
    {"UserNameAlone", "http://user@h", 1, "h", 80, "", "", "dXNlcjo="},
    {"LoginEscapedUpToLastAt", "https://a%40b:p@ss@h:81", 1, "h", 81, "", "", "YUBiOnBAc3M="},
    {"LoginColonInUser", "http://a%3Ab:p@h", 0, "", 0, "", "Bad login in the URL: a ':' in the user name\n"},
    {"LoginControlByte", "http://a:p%0A@h", 0, "", 0, "", "Bad login in the URL: a control character\n"},
    {"LoginTooLong", "http://" + std::string(1000, 'u') + ":" + std::string(25, 'p') + "@h", 0, "", 0, "",
     "Bad login in the URL: user and password over 1024 bytes together\n"},
    {"UrlEmptyHost", "http:///a", 0, "", 0, "", "Empty host name in the server address\n"},
    {"UrlPortWithoutHost", "http://:8080/a", 0, "", 0, "", "Empty host name in the server address\n"},
    {"EmptyArgument", "", 0, "", 0, "", "Empty host name in the server address\n"},
    {"PortWithoutHost", ":8080", 0, "", 0, "", "Empty host name in the server address\n"},
    {"PortTooHigh", "h:65536", 0, "", 0, "", "Bad port: \"65536\" (a port is a number from 1 to 65535)\n"},
    {"PortZero", "h:0", 0, "", 0, "", "Bad port: \"0\" (a port is a number from 1 to 65535)\n"},
    {"PortEmpty", "h:", 0, "", 0, "", "Bad port: \"\" (a port is a number from 1 to 65535)\n"},
    {"PortNotANumber", "h:http", 0, "", 0, "", "Bad port: \"http\" (a port is a number from 1 to 65535)\n"},
    {"PortWithSign", "h:+80", 0, "", 0, "", "Bad port: \"+80\" (a port is a number from 1 to 65535)\n"},
    {"PortLongDigitRun", "h:99999999999999999999", 0, "", 0, "",
     "Bad port: \"99999999999999999999\" (a port is a number from 1 to 65535)\n"},
    {"UrlPortTooHigh", "http://h:99999/a", 0, "", 0, "", "Bad port: \"99999\" (a port is a number from 1 to 65535)\n"},
    {"UrlPortEmpty", "http://h:/a", 1, "h", 80, "/a", ""},
    {"HttpsUrlPortEmpty", "https://[::1]:", 1, "[::1]", 443, "", ""},
    {"PortWithLineEndsShownAsOneLine", "h:8\r\n0", 0, "", 0, "", "Bad port: \"8\\x0d\\x0a0\" (a port is a number from 1 to 65535)\n"},
    {"LongPortTextCut", "h:" + std::string(30, 'x'), 0, "", 0, "",
     "Bad port: \"xxxxxxxxxxxxxxxxxxxx...\" (a port is a number from 1 to 65535)\n"},
    {"PathAfterPlainPort", "h:8080/a", 0, "", 0, "", "Bad port: \"8080/a\" (a port is a number from 1 to 65535)\n"},
};

class ServerArgumentParse : public testing::TestWithParam<ArgumentCase> {};

TEST_P(ServerArgumentParse, GivesHostPortAndPathOrTheProblem) {
    const ArgumentCase& c = GetParam();
    ServerArgument server;
    BoundedString problem;
    ASSERT_EQ(c.accepted, parseServerArgument(c.argument.c_str(), server, problem)) << textOf(problem);
    if (c.accepted) {
        EXPECT_STREQ(c.host, textOf(server.host));
        EXPECT_EQ(c.port, server.port);
        EXPECT_EQ(c.path, textOf(server.path));
        EXPECT_STREQ("", textOf(problem));
        EXPECT_EQ(c.login, textOf(server.login));
    } else {
        EXPECT_EQ(c.problem, textOf(problem));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ServerArgumentParse, testing::ValuesIn(kArgumentCases), CaseName());

}  // namespace
