#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "http/transfer.h"
#include "support/log.h"
#include "tests/support/fake_server.h"

namespace {

std::string fileBytes(std::FILE* file) {
    std::fflush(file);
    std::rewind(file);
    std::string bytes;
    char block[4096];
    size_t count;
    while ((count = std::fread(block, 1, sizeof block, file)) > 0) bytes.append(block, count);
    return bytes;
}

TEST(FetchOnceSmoke, StoresBodyOfOneBlockReply) {
    std::string body = patternBytes(1000);
    FakeServer server;
    ASSERT_EQ(0, startFakeServer(server, 0, {{sendData(httpReply("HTTP/1.0 200 OK", {"Content-Length: 1000"}, body)),
                                              closeInOrder()}}));
    TransferRequest request;
    request.address.family = kAddressFamilyInet;
    request.address.port = hostToNetworkShort(server.port);
    request.address.address = parseDottedAddress("127.0.0.1");
    assignText(request.path, "/x");
    request.output = std::tmpfile();
    TransferResult result;
    verbosity = 0;
    EXPECT_EQ(1, fetchOnce(request, result));
    std::vector<std::string> requests = stopFakeServer(server);
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ("GET /x HTTP/1.0\r\n\r\n", requests[0]);
    EXPECT_EQ(200, result.replyStatus);
    EXPECT_EQ(1000, result.bodyBytes);
    EXPECT_EQ(body, fileBytes(request.output));
    std::fclose(request.output);
}

}  // namespace
