// The reply reader: header section put together across blocks, the three
// values read from it, the body stored byte for byte, and how a reply ends.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <netinet/in.h>
#include <linux/sockios.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "http/transfer.h"
#include "support/log.h"
#include "tests/support/fake_server.h"
#include "tests/support/in_process.h"

namespace {

struct ReplyCase {
    const char* name;
    std::string reply;          // what the server sends
    std::string body;           // what the file must hold afterwards
    const char* failNote;       // null: the attempt completes
    int status;
    std::int64_t contentLength;
    int rangeResolution;
    size_t chunk = 0;           // bytes per server write, 0: one write
    bool resetAtEnd = false;    // reset instead of an orderly close
    int headersOnly = 0;
    size_t unstored = 0;        // reply bytes neither header nor body: framing, or past the end
    bool stallAtEnd = false;    // keeps the connection open after the reply
    std::int64_t rangeStart = -1;
    std::int64_t rangeTotal = -1;
    std::int64_t askFrom = -1;  // the request's first byte; -1: no Range
};

void PrintTo(const ReplyCase& c, std::ostream* os) { *os << c.name; }

std::string withBody(const std::string& head, const std::string& body) { return head + "\r\n\r\n" + body; }

std::string manyHeaderLines(int count) {
    std::string lines;
    for (int index = 0; index < count; ++index) lines += "X-Filler-" + std::to_string(index) + ": value\r\n";
    return lines;
}

const std::string kPattern = patternBytes(40000, 3);
const std::string kZeros("a\0b\0\0c", 6);
const std::string kLongLine = "X-Long: " + std::string(5000, 'L');
const char kNoStatus[] = "recv: Malformed reply: the status line has no three-digit status\n";
const char kBadLength[] = "recv: Malformed reply: Content-Length is not a byte count\n";
const char kLengthsDiffer[] = "recv: Malformed reply: Content-Length values differ\n";

// A reply refused as malformed: nothing stored, nothing read past the line at fault.
ReplyCase malformed(const char* name, const std::string& head, const char* note, int status = -1,
                    std::int64_t length = -1) {
    ReplyCase c{name, withBody(head, "x"), "", note, status, length, 0};
    c.unstored = 3;
    return c;
}

const ReplyCase kReplyCases[] = {
    {"SplitHeadersOneWrite", withBody("HTTP/1.0 200 OK\r\nContent-Length: 10\r\nAccept-Ranges: bytes", "0123456789"),
     "0123456789", nullptr, 200, 10, 1},
    {"SplitHeadersOneBytePerWrite", withBody("HTTP/1.0 200 OK\r\nContent-Length: 10\r\nAccept-Ranges: bytes", "0123456789"),
     "0123456789", nullptr, 200, 10, 1, 1},
    {"SplitHeadersSevenBytesPerWrite", withBody("HTTP/1.0 200 OK\r\nContent-Length: 10\r\nAccept-Ranges: bytes", "0123456789"),
     "0123456789", nullptr, 200, 10, 1, 7},
    {"LfOnlyLines", "HTTP/1.0 200 OK\nContent-Length: 4\nAccept-Ranges: bytes\n\nbody", "body", nullptr, 200, 4, 1, 3},
    {"NotFoundPageStoredAsBody", withBody("HTTP/1.0 404 Not Found\r\nContent-Length: 9", "not here\n"), "not here\n",
     nullptr, 404, 9, 0},
    {"NotFoundShortPageStillCompletes", withBody("HTTP/1.0 404 Not Found\r\nContent-Length: 500", "gone"), "gone",
     nullptr, 404, 500, 0},
    malformed("StatusWithoutNumber", "HTTP/1.0 OK", kNoStatus),
    malformed("StatusWordAlone", "HTTP/1.0", kNoStatus),
    malformed("StatusWithLetter", "HTTP/1.0 2x0 OK", kNoStatus),
    malformed("StatusOfFourDigits", "HTTP/1.0 2000 OK", kNoStatus),
    {"EmptyLineBeforeStatus", "\r\n" + withBody("HTTP/1.0 200 OK", "x"),  "",
     "recv: Malformed reply: an empty line where the status line belongs\n", -1, -1, 0, 0, false, 0, 20},
    {"StatusWordOf99Characters", withBody(std::string(99, 'H') + " 301 Moved", ""), "", nullptr, 301, -1, 0},
    malformed("StatusWordOver99Characters", std::string(99, 'H') + "1 301 Moved", kNoStatus),
    {"InterimRepliesSkipped",
     withBody("HTTP/1.1 100 Continue\r\nContent-Length: 9\r\n\r\nHTTP/1.1 102 Processing\r\n\r\n"
              "HTTP/1.1 200 OK\r\nContent-Length: 4", "real"), "real", nullptr, 200, 4, 0, 5},
    malformed("SwitchingProtocolsFails", "HTTP/1.1 101 Switching Protocols",
              "recv: Malformed reply: status 101, though no protocol switch was asked for\n", 101),
    {"ContentLengthLeadingSpaces", withBody("HTTP/1.0 200 OK\r\nContent-Length:     3", "abc"), "abc", nullptr, 200, 3, 0},
    {"ContentLengthWithoutSpace", withBody("HTTP/1.0 200 OK\r\nContent-Length:3", "abc"), "abc", nullptr, 200, 3, 0},
    {"ContentLengthAnyCase", withBody("HTTP/1.0 200 OK\r\ncONTENT-lENGTH: 3", "abc"), "abc", nullptr, 200, 3, 0},
    malformed("ContentLengthNotNumber", "HTTP/1.0 200 OK\r\nContent-Length: many", kBadLength, 200),
    malformed("ContentLengthWordAfterNumber", "HTTP/1.0 200 OK\r\nContent-Length: 3\r\nContent-Length: none", kBadLength,
              200, 3),
    malformed("ContentLengthWithLetters", "HTTP/1.0 200 OK\r\nContent-Length: 12abc", kBadLength, 200),
    malformed("ContentLengthPastLargestCount", "HTTP/1.0 200 OK\r\nContent-Length: 1152921504606846977", kBadLength, 200),
    {"ContentLengthListOfOneCount", withBody("HTTP/1.0 200 OK\r\nContent-Length: 3 ,3\t\r\nContent-Length:3", "abc"),
     "abc", nullptr, 200, 3, 0},
    malformed("ContentLengthListDiffers", "HTTP/1.0 200 OK\r\nContent-Length: 3, 4", kLengthsDiffer, 200),
    malformed("ContentLengthLinesDiffer", "HTTP/1.0 200 OK\r\nContent-Length: 3\r\nContent-Length: 4", kLengthsDiffer,
              200, 3),
    {"ContentLengthBeyond32Bits", withBody("HTTP/1.0 404 Not Found\r\nContent-Length: 3000000000", "x"), "x",
     nullptr, 404, 3000000000LL, 0},
    {"ContentLengthAtLargestCount", withBody("HTTP/1.0 404 Not Found\r\nContent-Length: 1152921504606846976", "x"),
     "x", nullptr, 404, 1152921504606846976LL, 0},
    {"AcceptRangesBytesAnyCase", withBody("HTTP/1.0 200 OK\r\naccept-ranges:   BYTES", ""), "", nullptr, 200, -1, 1},
    {"AcceptRangesNumber", withBody("HTTP/1.0 200 OK\r\nAccept-Ranges: 4096", ""), "", nullptr, 200, -1, 4096},
    {"AcceptRangesOtherWordIgnored", withBody("HTTP/1.0 200 OK\r\nAccept-Ranges: none", ""), "", nullptr, 200, -1, 0},
    {"AcceptRangesWordKeepsEarlierValue",
     withBody("HTTP/1.0 200 OK\r\nAccept-Ranges: bytes\r\nAccept-Ranges: none", ""), "", nullptr, 200, -1, 1},
    {"HeaderWithoutColonIgnored", withBody("HTTP/1.0 200 OK\r\nContent-Length 5\r\nAccept-Ranges bytes", "abc"), "abc",
     nullptr, 200, -1, 0},
    {"HeadReplyStrayBytesNotStored", withBody("HTTP/1.0 200 OK\r\nContent-Length: 1000", "stray"), "", nullptr, 200,
     1000, 0, 0, false, 1, 5},
    {"HeadReplyWithoutBodyCompletes", withBody("HTTP/1.0 200 OK\r\nContent-Length: 1000", ""), "", nullptr, 200, 1000,
     0, 0, false, 1},
    {"HeadReplyCutInHeadersFails", "HTTP/1.0 200 OK\r\nContent-Le", "", "recv: Disconnected\n", 200, -1, 0, 0, false,
     1},
    {"HeadReplyKeptOpenCompletes", withBody("HTTP/1.1 200 OK\r\nContent-Length: 1000", ""), "", nullptr, 200, 1000,
     0, 0, false, 1, 0, true},
    {"BodyWithZeroBytesStoredByCount", withBody("HTTP/1.0 200 OK\r\nContent-Length: 6", kZeros), kZeros, nullptr, 200,
     6, 0, 4},
    {"BodyBeyondContentLengthDropped", withBody("HTTP/1.0 200 OK\r\nContent-Length: 3", "abcdef"), "abc", nullptr, 200,
     3, 0, 0, false, 0, 3},
    {"BodyOfLengthThenResetCompletes", withBody("HTTP/1.0 200 OK\r\nContent-Length: 3", "abc"), "abc", nullptr, 200, 3,
     0, 0, true},
    {"KeptOpenAfterLengthCompletes", withBody("HTTP/1.1 200 OK\r\nContent-Length: 3", "abc"), "abc", nullptr, 200, 3, 0,
     1, false, 0, 0, true},
    {"EmptyBodyKeptOpenCompletes", withBody("HTTP/1.1 200 OK\r\nContent-Length: 0", ""), "", nullptr, 200, 0, 0, 0,
     false, 0, 0, true},
    {"NoContentKeptOpenCompletes", withBody("HTTP/1.1 204 No Content", ""), "", nullptr, 204, -1, 0, 0, false, 0, 0,
     true},
    {"NoContentStrayBytesNotStored", withBody("HTTP/1.1 204 No Content", "stray"), "", nullptr, 204, -1, 0, 0, false, 0,
     5},
    {"ErrorPageKeptOpenCompletes", withBody("HTTP/1.1 404 Not Found\r\nContent-Length: 4", "gone"), "gone", nullptr,
     404, 4, 0, 0, false, 0, 0, true},
    {"ChunkedBodyDecoded", withBody("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked", "5\r\nhello\r\n6;x=y\r\n world\r\n0\r\n\r\n"),
     "hello world", nullptr, 200, -1, 0, 0, false, 0, 19},
    {"ChunkedOneBytePerWriteKeptOpen", withBody("HTTP/1.1 200 OK\r\ntransfer-encoding:  Chunked", "A\r\n0123456789\n0\n"),
     "0123456789", nullptr, 200, -1, 0, 1, false, 0, 6, true},
    {"ChunkedLengthIgnored", withBody("HTTP/1.1 200 OK\r\nContent-Length: 3\r\nTransfer-Encoding: chunked", "4\r\nabcd\r\n0\r\n"),
     "abcd", nullptr, 200, 3, 0, 0, false, 0, 8},
    {"ChunkedClosedBeforeLastChunk", withBody("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked", "4\r\nabcd\r\n"), "abcd",
     "recv: Disconnected\n", 200, -1, 0, 0, false, 0, 5},
    {"ChunkedSizeNotHex", withBody("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked", "4\r\nabcd\r\nxyz\r\n"), "abcd",
     "recv: Malformed chunked body\n", 200, -1, 0, 0, false, 0, 10},
    {"ChunkedDataOverrunsItsSize", withBody("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked", "2\r\nabcd\r\n0\r\n"), "ab",
     "recv: Malformed chunked body\n", 200, -1, 0, 0, false, 0, 10},
    {"ChunkedSizeOf16HexDigits",
     withBody("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked", "1000000000000000\r\nabcd"), "",
     "recv: Malformed chunked body\n", 200, -1, 0, 0, false, 0, 22},
    {"ContentRangeReadAndEndsBody", withBody("HTTP/1.0 206 Partial\r\nContent-Range: bytes 10-19/20", "0123456789+"),
     "0123456789", nullptr, 206, -1, 0, 0, false, 0, 1, true, 10, 20, 10},
    {"UnaskedPartialFromLaterByteRefused", withBody("HTTP/1.0 206 Partial\r\nContent-Range: bytes 10-19/300", "0123456789"),
     "", "Reply not stored: it starts at byte 10, not at byte 0\n", 206, -1, 0, 0, false, 0, 10, false, 10, 300},
    {"UnaskedPartialFromFirstByteShortOfEnd", withBody("HTTP/1.0 206 Partial\r\nContent-Range: bytes 0-9/300", "0123456789"),
     "0123456789", "recv: the partial reply ended at byte 10, before the end\n", 206, -1, 0, 0, false, 0, 0, false, 0, 300},
    {"ContentRangeUnsatisfiedRead", withBody("HTTP/1.0 416 No\r\ncontent-range:bytes */300", ""), "", nullptr, 416, -1,
     0, 0, false, 0, 0, false, -1, 300},
    {"ContentRangeEndPastTotalIgnored", withBody("HTTP/1.0 206 Partial\r\nContent-Range: bytes 10-300/300", ""), "",
     nullptr, 206, -1, 0, 0, false, 0, 0, false, -1, -1, 10},
    {"ContentRangeNegativeIgnored", withBody("HTTP/1.0 206 Partial\r\nContent-Range: bytes -5-19/300", ""), "", nullptr,
     206, -1, 0, 0, false, 0, 0, false, -1, -1, 10},
    {"BodyWithoutLengthClosedInOrder", withBody("HTTP/1.0 200 OK", "partial"), "partial", nullptr, 200, -1, 0},
    {"LargeBodyInManyBlocks", withBody("HTTP/1.0 200 OK\r\nContent-Length: 40000", kPattern), kPattern, nullptr, 200,
     40000, 0, 9000},
    {"ShortBodyClosedInOrder", withBody("HTTP/1.0 200 OK\r\nContent-Length: 100", "only this"), "only this",
     "recv: Disconnected\n", 200, 100, 0},
    {"ShortPartialBodyClosedInOrder", withBody("HTTP/1.0 206 Partial Content\r\nContent-Length: 100", "only this"),
     "only this", "recv: Disconnected\n", 206, 100, 0, 0, false, 0, 0, false, -1, -1, 0},
    {"CutHeaderClosedInOrder", "HTTP/1.0 200 OK\r\nContent-Len", "", "recv: Disconnected\n", 200, -1, 0},
    {"NoReplyAtAll", "", "", "recv: Disconnected\n", -1, -1, 0},
    {"ResetMidBody", withBody("HTTP/1.0 200 OK\r\nContent-Length: 99999", kPattern), kPattern,
     "recv: Connection reset\n", 200, 99999, 0, 0, true},
    {"ResetInHeaders", "HTTP/1.0 200 OK\r\nAccept-Ranges: bytes\r\nContent-", "", "recv: Connection reset\n", 200, -1,
     1, 0, true},
    {"LongHeaderLineReadWhole", withBody("HTTP/1.0 200 OK\r\n" + kLongLine + "\r\nContent-Length: 5", "after"), "after",
     nullptr, 200, 5, 0, 700},
    {"HundredsOfHeaderLines", withBody("HTTP/1.0 200 OK\r\n" + manyHeaderLines(600) + "Accept-Ranges: bytes", "end"),
     "end", nullptr, 200, -1, 1, 5000},
};

ssize_t collect(void* cookie, const char* bytes, size_t count) {
    static_cast<std::string*>(cookie)->append(bytes, count);
    return static_cast<ssize_t>(count);
}

class ReplyReader : public testing::TestWithParam<ReplyCase> {};

TEST_P(ReplyReader, ReadsReply) {
    const ReplyCase& c = GetParam();
    // A file takes the direct path; a stream without a descriptor only the
    // plain one, as every output does on Windows.
    for (int plainPath = 0; plainPath <= 1; ++plainPath) {
        SCOPED_TRACE(plainPath ? "plain path" : "direct path");
        FakeServer server;
        ConnectionScript script = {sendData(c.reply, c.chunk),
                                   c.stallAtEnd ? stallUntilStopped() : c.resetAtEnd ? resetConnection() : closeInOrder()};
        ASSERT_EQ(0, startFakeServer(server, 0, {script}));
        TransferRequest request;
        prepareRequest(request, server.port, "/r");
        request.headersOnly = c.headersOnly;
        request.rangeFirst = c.askFrom;
        std::string collected;
        if (plainPath) {
            std::fclose(request.output);
            cookie_io_functions_t functions = {nullptr, collect, nullptr, nullptr};
            request.output = fopencookie(&collected, "wb", functions);
        }
        TransferResult result;
        verbosity = 0;
        int completed = fetchOnce(request, result);
        stopFakeServer(server);
        EXPECT_EQ(c.failNote == nullptr, completed == 1);
        EXPECT_STREQ(c.failNote == nullptr ? "" : c.failNote, textOf(result.errorText));
        EXPECT_EQ(c.failNote == nullptr ? stageCompleted : stageReceive, result.stage);
        EXPECT_EQ(c.status, result.replyStatus);
        EXPECT_EQ(c.contentLength, result.contentLength);
        EXPECT_EQ(c.rangeResolution, result.rangeResolution);
        EXPECT_EQ(static_cast<std::int64_t>(c.body.size()), result.bodyBytes);
        EXPECT_EQ(static_cast<std::int64_t>(c.reply.size() - c.unstored), result.headerBytes + result.bodyBytes);
        EXPECT_EQ(c.rangeStart, result.rangeStart);
        EXPECT_EQ(c.rangeTotal, result.rangeTotal);
        if (!plainPath) collected = fileBytes(request.output);
        std::fclose(request.output);
        EXPECT_EQ(c.body, collected);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ReplyReader, testing::ValuesIn(kReplyCases), CaseName());

// A loopback connection whose sending side hands over one block at a time
// and waits until the reader took it, so every receive sees exactly one block.
struct BlockFeed {
    int writer = -1;
    int reader = -1;
    std::atomic<bool> readerDone{false};  // the reader stopped reading: nothing more will be taken
};

int openBlockFeed(BlockFeed& feed) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        return -1;
    }
    feed.reader = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(feed.reader, reinterpret_cast<sockaddr*>(&address), size) != 0) return -1;
    feed.writer = accept(listener, nullptr, nullptr);
    close(listener);
    return feed.writer < 0 ? -1 : 0;
}

// Waits (5 s at most) until the block arrived and the reader emptied its queue.
void waitUntilTaken(const BlockFeed& feed) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int unsent = 1;
    int unread = 1;
    while ((unsent > 0 || unread > 0) && !feed.readerDone && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        if (ioctl(feed.writer, SIOCOUTQ, &unsent) != 0 || ioctl(feed.reader, FIONREAD, &unread) != 0) return;
    }
}

void feedBlocks(const BlockFeed& feed, const std::vector<std::string>& blocks) {
    for (const std::string& block : blocks) {
        if (send(feed.writer, block.data(), block.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(block.size())) break;
        waitUntilTaken(feed);
    }
    close(feed.writer);
}

struct BlockOutcome {
    int completed = 0;
    TransferResult result;
    std::string file;
    std::string log;
};

// Runs the reply reader on the given blocks at the given verbosity.
void readBlocks(const std::vector<std::string>& blocks, int logLevel, BlockOutcome& outcome) {
    BlockFeed feed;
    ASSERT_EQ(0, openBlockFeed(feed));
    std::thread writer(feedBlocks, std::cref(feed), std::cref(blocks));
    TransferRequest request;
    request.output = std::tmpfile();
    verbosity = logLevel;
    StderrCapture capture;
    beginStderrCapture(capture);
    outcome.completed = receiveReply(feed.reader, request, outcome.result);
    feed.readerDone = true;
    outcome.log = endStderrCapture(capture);
    writer.join();
    close(feed.reader);
    outcome.file = fileBytes(request.output);
    std::fclose(request.output);
}

const std::string kSplitReply = "HTTP/1.0 200 OK\r\nAccept-Ranges: 512\nContent-Length: 7\r\n\r\npayload";

TEST(ReplyBlocks, EverySplitPointGivesSameResult) {
    for (size_t split = 1; split < kSplitReply.size(); ++split) {
        BlockOutcome outcome;
        readBlocks({kSplitReply.substr(0, split), kSplitReply.substr(split)}, 0, outcome);
        EXPECT_EQ(1, outcome.completed) << split;
        EXPECT_EQ(200, outcome.result.replyStatus) << split;
        EXPECT_EQ(512, outcome.result.rangeResolution) << split;
        EXPECT_EQ(7, outcome.result.contentLength) << split;
        EXPECT_EQ(static_cast<std::int64_t>(kSplitReply.size()) - 7, outcome.result.headerBytes) << split;
        EXPECT_EQ("payload", outcome.file) << split;
    }
}

TEST(ReplyBlocks, OneBytePerReadGivesOneProgressLineEach) {
    std::vector<std::string> blocks;
    for (char byte : kSplitReply) blocks.push_back(std::string(1, byte));
    BlockOutcome outcome;
    readBlocks(blocks, 3, outcome);
    EXPECT_EQ("payload", outcome.file);
    EXPECT_EQ(7, outcome.result.contentLength);
    std::string progress;
    for (int count = 1; count <= 7; ++count) {
        char line[64];
        std::snprintf(line, sizeof line, "\rReceived %d/7 (%1.1f%%)...", count, static_cast<double>(count) / 7.0 * 100.0);
        progress += line;
    }
    EXPECT_EQ(progress + "\n", outcome.log);
}

// A zero byte or ESC in a header line makes the reply malformed wherever
// the reads break: the line is shown escaped, and the body's bytes (which
// hold a line end and an empty line) are never taken for header lines.
TEST(ReplyBlocks, ControlByteInHeaderLineRefusedAtEverySplit) {
    for (char byte : {'\0', '\x1b'}) {
        std::string reply = std::string("HTTP/1.0 200 OK\r\nX-Note: a") + byte + "b\r\nContent-Length: 3\r\n\r\na\r\n\r\nz";
        std::string shown = byte ? "\\x1b" : "\\x00";
        std::string note = "recv: Malformed reply: control byte " + shown + " in a header line \"X-Note: a" + shown + "b\"\n";
        for (size_t split = 1; split < reply.size(); ++split) {
            BlockOutcome outcome;
            readBlocks({reply.substr(0, split), reply.substr(split)}, 5, outcome);
            EXPECT_EQ(0, outcome.completed) << split;
            EXPECT_EQ(note, textOf(outcome.result.errorText)) << split;
            EXPECT_EQ("", outcome.file) << split;
            EXPECT_EQ("** Status: HTTP/1.0 200 OK\n\n", outcome.log) << split;
        }
    }
}

TEST(ReplyBlocks, LongHeaderLineLoggedWhole) {
    BlockOutcome outcome;
    readBlocks({"HTTP/1.0 200 OK\r\n" + kLongLine.substr(0, 2500), kLongLine.substr(2500) + "\r\nX-Next: 1\r\n\r\n"}, 5,
               outcome);
    EXPECT_EQ(1, outcome.completed);
    EXPECT_EQ("** Status: HTTP/1.0 200 OK\n** Header: " + kLongLine + "\n** Header: X-Next: 1\n\n", outcome.log);
}

// Status lines and headers of every section count: a byte past the limit
// ends the attempt, wherever the blocks break.
TEST(ReplyBlocks, HeaderSectionUpToLimitOnly) {
    for (int extra = 0; extra <= 1; ++extra) {
        std::string head = "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.0 200 OK\r\nX-Fill: ";
        std::string reply = head + std::string(65536 - head.size() - 4 + extra, 'f') + "\r\n\r\nok";
        std::vector<std::string> blocks;
        for (size_t at = 0; at < reply.size(); at += 16000) blocks.push_back(reply.substr(at, 16000));
        BlockOutcome outcome;
        readBlocks(blocks, 0, outcome);
        EXPECT_EQ(1 - extra, outcome.completed);
        EXPECT_STREQ(extra ? "recv: Malformed reply: the header section passes 65536 bytes\n" : "",
                     textOf(outcome.result.errorText));
        EXPECT_EQ(extra ? "" : "ok", outcome.file);
    }
}

TEST(ReplyBlocks, ChunkedProgressShowsNoTotal) {
    BlockOutcome outcome;
    readBlocks({"HTTP/1.1 200 OK\r\nContent-Length: 20\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nabcd\r\n0\r\n\r\n"}, 3,
               outcome);
    EXPECT_EQ("abcd", outcome.file);
    EXPECT_EQ("\rReceived 4/-1 (0.0%)...\n", outcome.log);
}

}  // namespace
