// -d with the built program: the stored bytes proven by their SHA-256,
// read back from the file or hashed as written into an output that cannot
// be read back, after retries and for a file that was complete already.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/fake_server.h"
#include "tests/support/run_program.h"

namespace {

const std::string kBody = "hello world";
const std::string kWrongSum(64, '0');

std::string head(const std::string& status, const std::vector<std::string>& headers) {
    return httpReply("HTTP/1.0 " + status, headers, "");
}

const ConnectionScript kWhole = {sendData(head("200 OK", {"Content-Length: 11", "ETag: \"1\""}) + kBody), closeInOrder()};
const ConnectionScript kBrokenAfterFive = {
    sendData(head("200 OK", {"Content-Length: 11", "Accept-Ranges: bytes", "ETag: \"1\""}) + "hello"), pauseFor(150),
    resetConnection()};
const ConnectionScript kComplete = {
    sendData(head("416 Range Not Satisfiable", {"Content-Range: bytes */11", "Content-Length: 0"})), closeInOrder()};

struct ChecksumCase {
    const char* name;
    std::vector<std::string> options;  // "SUM" is kBody's SHA-256, "WRONG" another
    std::string output;                // "OUT": a file in the scratch directory
    const char* kept;                  // what the file holds before; null: no file
    std::vector<ConnectionScript> scripts;
    int exitStatus;
    std::string standardError;         // "SUM", "WRONG" and "KEPT" (the kept bytes' sum) stand for theirs
    std::string stored;                // the file or standard output afterwards
};

// Puts the sums in place of their names.
std::string withSums(std::string text, const char* kept) {
    const std::pair<const char*, std::string> names[] = {
        {"SUM", sha256Hex(kBody)}, {"WRONG", kWrongSum}, {"KEPT", kept == nullptr ? "" : sha256Hex(kept)}};
    for (const auto& name : names) {
        for (size_t at = text.find(name.first); at != std::string::npos; at = text.find(name.first)) {
            text.replace(at, std::string(name.first).size(), name.second);
        }
    }
    return text;
}

class Checksum : public testing::TestWithParam<ChecksumCase> {};

TEST_P(Checksum, ProvesTheStoredBytes) {
    const ChecksumCase& c = GetParam();
    if (c.output != "OUT") {
        SKIP_UNDER_WINE("a device or pipe as the output is tested on Linux only");
    }
    ScratchDirectory scratch;
    ASSERT_NE("", scratch.path);
    std::string file = scratch.path + "out";
    if (c.kept != nullptr) {
        ASSERT_TRUE(writeFileBytes(file, c.kept));
    }
    std::vector<std::string> arguments = {"-w0"};
    for (const std::string& option : c.options) arguments.push_back(withSums(option, nullptr));
    arguments.insert(arguments.end(), {c.output, "127.0.0.1", "/f"});
    Exchange exchange = runAgainstServer(c.scripts, programWith(arguments, file));
    ASSERT_TRUE(exchange.ready);
    EXPECT_EQ(c.exitStatus, exchange.outcome.exitStatus);
    EXPECT_EQ(withSums(c.standardError, c.kept), exchange.outcome.standardError);
    std::string stored = exchange.outcome.standardOutput;
    if (c.output == "OUT") {
        ASSERT_TRUE(readFileBytes(file, stored));
    }
    if (c.output != "/dev/null") {
        EXPECT_EQ(c.stored, stored);
    }
}

const char kReceived[] = "\rReceived 11/11 (100.0%)...\n";

const ChecksumCase kChecksumCases[] = {
    {"Match", {"-dSUM"}, "OUT", nullptr, {kWhole}, 0, std::string(kReceived) + "SHA-256 checked: SUM\n", kBody},
    {"UpperCaseDigits", {"-v1", "-d" + std::string(64, 'F'), "-dB94D27B9934D3E08A52E52D7DA7DABFAC484EFE37A5380EE9088F7ACE2EFCDE9"},
     "OUT", nullptr, {kWhole}, 0, "", kBody},
    {"MismatchKeepsFile", {"-v1", "-dWRONG"}, "OUT", nullptr, {kWhole}, 7,
     "Checksum mismatch: the file's SHA-256 is SUM, not WRONG\n", kBody},
    {"AfterResume", {"-v0", "-dSUM"}, "OUT", nullptr,
     {kBrokenAfterFive, {sendData(head("206 Partial Content", {"Content-Range: bytes 5-10/11", "Content-Length: 6",
                                                                "ETag: \"1\""}) + " world"), closeInOrder()}},
     10, "", kBody},
    {"ContinuedCompleteFile", {"-c", "-dSUM"}, "OUT", "hello world", {kComplete}, 0,
     "\nThe file is complete already: nothing to fetch\nSHA-256 checked: SUM\n", kBody},
    {"ContinuedCompleteFileMismatch", {"-v1", "-c", "-dSUM"}, "OUT", "hello WORLD", {kComplete}, 7,
     "Checksum mismatch: the file's SHA-256 is KEPT, not SUM\n", "hello WORLD"},
    {"DeviceHashedAsWritten", {"-v1", "-dSUM"}, "/dev/null", nullptr, {kWhole}, 0, "", ""},
    {"PipeRestartCountsHeldBytesOnce", {"-v0", "-dSUM"}, "/dev/stdout", nullptr,
     {{sendData(head("200 OK", {"Content-Length: 11", "ETag: \"1\""}) + "hello"), pauseFor(150), resetConnection()},
      kWhole},
     10, "", kBody},
    {"ContinueIntoDeviceRefused", {"-c", "-dSUM"}, "/dev/null", nullptr, {}, 1,
     "Checksum: -c -d needs a file that can be read back, not a pipe, terminal or device\n", ""},
};

INSTANTIATE_TEST_SUITE_P(Outputs, Checksum, testing::ValuesIn(kChecksumCases), nameOf<ChecksumCase>);

}  // namespace
