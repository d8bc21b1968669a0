// Location resolved against the address that sent it, and each Location
// that is not followed.
#include <gtest/gtest.h>

#include <string>

#include "http/redirect.h"
#include "tests/support/in_process.h"

namespace {

struct LocationCase {
    const char* name;
    const char* base;
    std::string location;
    std::string expected;  // the address to ask next, or the refusal's line
};

void PrintTo(const LocationCase& c, std::ostream* os) { *os << c.name; }

const char kBase[] = "http://h:8080/a/b/c?q=1";

const LocationCase kLocationCases[] = {
    {"Absolute", kBase, "http://other/x/y", "http://other/x/y"},
    {"AbsoluteSchemeInAnyCase", kBase, "HTTPS://Other:444/x", "https://Other:444/x"},
    {"AbsoluteWithoutPath", kBase, "http://other", "http://other/"},
    {"AbsoluteQueryOnly", kBase, "http://other?x", "http://other/?x"},
    {"AbsoluteDotsRemoved", kBase, "http://o/a/./b/../c", "http://o/a/c"},
    {"NetworkPath", "https://h/a", "//cdn.example:81/f?x", "https://cdn.example:81/f?x"},
    {"AbsolutePath", kBase, "/new/place", "http://h:8080/new/place"},
    {"RelativePath", kBase, "d/e", "http://h:8080/a/b/d/e"},
    {"RelativeDot", kBase, ".", "http://h:8080/a/b/"},
    {"RelativeDotSlash", kBase, "./g", "http://h:8080/a/b/g"},
    {"RelativeParent", kBase, "../g", "http://h:8080/a/g"},
    {"RelativeParentAlone", kBase, "..", "http://h:8080/a/"},
    {"ParentsPastTheRoot", kBase, "../../../../g", "http://h:8080/g"},
    {"DotsInsideAbsolutePath", kBase, "/x/./y/../../z/.", "http://h:8080/z/"},
    {"QueryOnly", kBase, "?y=2", "http://h:8080/a/b/c?y=2"},
    {"EmptyQuery", kBase, "?", "http://h:8080/a/b/c?"},
    {"FragmentOnlyKeepsQuery", kBase, "#part", "http://h:8080/a/b/c?q=1"},
    {"EmptyIsTheSameAddress", kBase, "", "http://h:8080/a/b/c?q=1"},
    {"FragmentDropped", kBase, "/f.zip#sha256", "http://h:8080/f.zip"},
    {"SpacesEscaped", kBase, "/my file.zip?a b", "http://h:8080/my%20file.zip?a%20b"},
    {"RelativeSpacesEscaped", kBase, "a b/../c d", "http://h:8080/a/b/c%20d"},
    {"Ipv6Authority", kBase, "http://[::1]:81/x", "http://[::1]:81/x"},
    {"HttpToHttps", kBase, "https://h/a", "https://h/a"},
    {"EscapesKept", kBase, "/a%2Fb/%2e%2e/c", "http://h:8080/a%2Fb/%2e%2e/c"},
    {"OtherScheme", kBase, "ftp://h/f", "Redirect not followed: the Location names a scheme other than http and https\n"},
    {"SchemeLikeRelative", kBase, "mailto:x@y", "Redirect not followed: the Location names a scheme other than http and https\n"},
    {"Downgrade", "https://h/a", "http://h/a", "Redirect not followed: it leads from https to plain http\n"},
    {"SchemeWithoutAuthority", kBase, "http:/x", "Redirect not followed: the Location cannot be parsed\n"},
    {"EmptyAuthority", kBase, "http:///x", "Redirect not followed: the Location cannot be parsed\n"},
    {"LineEnds", kBase, "/a\r\nX-Evil: 1", "Redirect not followed: the Location holds a control character\n"},
    {"Tab", kBase, "/a\tb", "Redirect not followed: the Location holds a control character\n"},
    {"TooLong", kBase, "/" + std::string(kLongestLocation, 'x'), "Redirect not followed: the Location is longer than 64 KiB\n"},
    {"TooLongOnceEscaped", kBase, "/" + std::string(30000, ' '), "Redirect not followed: the address it leads to is too long\n"},
    {"HighBytesPercentEncoded", kBase, "/caf\xc3\xa9 x?q=\xff", "http://h:8080/caf%C3%A9%20x?q=%FF"},
    {"HostTooLong", kBase, "http://" + std::string(256, 'h') + ":80/", "Redirect not followed: the host name is too long\n"},
};

class LocationResolution : public testing::TestWithParam<LocationCase> {};

TEST_P(LocationResolution, GivesTheNextAddressOrTheRefusal) {
    const LocationCase& c = GetParam();
    BoundedString target;
    int refusal = resolveLocation(c.base, c.location.c_str(), target);
    EXPECT_EQ(c.expected, refusal == redirectFollowed ? textOf(target) : redirectRefusalLine(refusal));
}

INSTANTIATE_TEST_SUITE_P(Cases, LocationResolution, testing::ValuesIn(kLocationCases), CaseName());

}  // namespace
