// Proxy values taken apart, and the hosts the exceptions list takes in.
#include <gtest/gtest.h>

#include <string>

#include "app/proxy.h"
#include "tests/support/in_process.h"

namespace {

struct ProxyCase {
    const char* name;
    std::string value;
    std::string expected;  // "host port credentials", or the problem line
};

void PrintTo(const ProxyCase& c, std::ostream* os) { *os << c.name; }

const char kBadProxy[] = "Bad proxy in http_proxy (a proxy is http://[user:password@]host[:port])\n";

const ProxyCase kProxyCases[] = {
    {"HostAlone", "proxy.example", "proxy.example 1080 "},
    {"HostAndPort", "10.0.0.1:3128", "10.0.0.1 3128 "},
    {"UrlWithSlash", "HTTP://proxy:8888/", "proxy 8888 "},
    {"Ipv6", "http://[::1]:3128", "[::1] 3128 "},
    {"Ipv6WithoutPort", "http://[::1]", "[::1] 1080 "},
    {"Credentials", "http://aladdin:opensesame@p:1", "p 1 YWxhZGRpbjpvcGVuc2VzYW1l"},
    {"EscapedCredentials", "http://a%40b:p%3A%25w@p", "p 1080 YUBiOnA6JXc="},
    {"AtSignInPassword", "http://u:p@ss@p", "p 1080 dTpwQHNz"},
    {"UserWithoutPassword", "u@p", "p 1080 dTo="},
    {"OtherScheme", "socks5://p:1080", "The proxy in http_proxy is not an http:// proxy\n"},
    {"HttpsProxy", "https://p", "The proxy in http_proxy is not an http:// proxy\n"},
    {"PathAfterHost", "http://p/x", kBadProxy},
    {"BadPort", "p:99999", kBadProxy},
    {"EmptyHost", "http://:3128", kBadProxy},
    {"SpaceInHost", "p q", kBadProxy},
    {"BrokenEscape", "http://u%4:p@p", kBadProxy},
    {"EscapedLineEnd", "http://u%0d%0a:p@p", kBadProxy},
    {"UrlEmptyPort", "http://[::1]:/", "[::1] 1080 "},
    {"CredentialsTooLong", "http://" + std::string(1000, 'u') + ":" + std::string(50, 'p') + "@p",
     "Bad proxy in http_proxy: the credentials are too long\n"},
    {"ValueTooLong", "p" + std::string(4096, '0'), "Bad proxy in http_proxy: the value is too long\n"},
};

class ProxyValue : public testing::TestWithParam<ProxyCase> {};

TEST_P(ProxyValue, GivesHostPortCredentialsOrTheProblem) {
    const ProxyCase& c = GetParam();
    ProxySettings proxy;
    BoundedString problem;
    std::string got;
    if (parseProxy(c.value.c_str(), "http_proxy", proxy, problem)) {
        got = std::string(textOf(proxy.host)) + " " + std::to_string(proxy.port) + " " + textOf(proxy.credentials);
    } else {
        got = textOf(problem);
    }
    EXPECT_EQ(c.expected, got);
}

INSTANTIATE_TEST_SUITE_P(Cases, ProxyValue, testing::ValuesIn(kProxyCases), CaseName());

struct ExceptionCase {
    const char* name;
    const char* exceptions;
    const char* host;
    int bypasses;
};

void PrintTo(const ExceptionCase& c, std::ostream* os) { *os << c.name; }

const ExceptionCase kExceptionCases[] = {
    {"SameName", "example.com", "example.com", 1},
    {"NameWithoutCase", "Example.COM", "example.com", 1},
    {"Subdomain", "example.com", "files.example.com", 1},
    {"LeadingDotDropped", ".example.com", "example.com", 1},
    {"LeadingDotSubdomain", ".example.com", "a.b.example.com", 1},
    {"NotASuffixOfAWord", "example.com", "badexample.com", 0},
    {"ParentNotTakenIn", "files.example.com", "example.com", 0},
    {"PortIgnored", "example.com:8080", "example.com", 1},
    {"AmongOthers", "localhost, 10.0.0.1 ,example.com", "www.example.com", 1},
    {"NoneOfThem", "localhost,10.0.0.1", "example.com", 0},
    {"EmptyEntriesSkipped", ",,", "example.com", 0},
    {"EmptyList", "", "example.com", 0},
    {"Star", "*", "anything.example", 1},
    {"StarAmongOthers", "a.example, *", "b.example", 1},
    {"SameAddress", "127.0.0.1", "127.0.0.1", 1},
    {"AddressNoSuffix", "0.0.1", "127.0.0.1", 0},
    {"AddressBlock", "10.0.0.0/8, 127.0.0.0/8", "127.0.0.1", 1},
    {"AddressBlockOddBits", "192.168.0.0/23", "192.168.1.9", 1},
    {"OutsideAddressBlock", "192.168.0.0/23", "192.168.2.1", 0},
    {"AddressBlockNotForNames", "127.0.0.0/8", "localhost", 0},
    {"MalformedBlockIgnored", "127.0.0.0/33", "127.0.0.1", 0},
    {"Ipv6Block", "fe80::/10", "[febf::1]", 1},
    {"Ipv6BlockOtherFamily", "::/0", "127.0.0.1", 0},
    {"Ipv6Bare", "::1", "[::1]", 1},
    {"Ipv6Bracketed", "[::1]:8080", "[::1]", 1},
    {"Ipv6Other", "::2", "[::1]", 0},
};

class ProxyExceptions : public testing::TestWithParam<ExceptionCase> {};

TEST_P(ProxyExceptions, TakeInTheHostOrNot) {
    const ExceptionCase& c = GetParam();
    EXPECT_EQ(c.bypasses, hostBypassesProxy(c.exceptions, c.host));
}

INSTANTIATE_TEST_SUITE_P(Cases, ProxyExceptions, testing::ValuesIn(kExceptionCases), CaseName());

}  // namespace
