// One transfer attempt: connect, send one HTTP/1.0 request, read the reply
// until the server closes the connection, append the body to the file.
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/platform.h"
#include "support/bounded_string.h"

// The port a Host line leaves unnamed.
const int kDefaultHttpPort = 80;

struct TransferRequest {
    int headersOnly = 0;  // non-zero: HEAD instead of GET
    Ipv4Address address = {};
    BoundedString host;            // the server's name as given, for the Host line
    int port = kDefaultHttpPort;   // the server's port, for the Host line
    BoundedString path;
    std::FILE* output = nullptr;
    std::int64_t rangeFirst = -1;  // -1: no Range header
    std::int64_t rangeLast = -1;   // -1: open-ended range
    // Non-zero when the range continues bytes already in the file: a reply
    // other than 206 then empties the file before its body is stored.
    int continuesFile = 0;
};

enum FailureStage {
    stageCompleted = 0,
    stageSocket = 1,
    stageConnect = 2,
    stageSend = 3,
    stageReceive = 4,
    // The output file refused bytes; the run ends without retrying.
    stageWriteFile = 5,
};

struct TransferResult {
    int stage = stageCompleted;     // a FailureStage
    BoundedString errorText;        // note of the most recent failed attempt
    int replyStatus = -1;
    int rangeResolution = 0;        // Accept-Ranges: its number, 1 for "bytes"
    std::int64_t headerBytes = 0;
    std::int64_t bodyBytes = 0;     // body bytes the file accepted
    std::int64_t contentLength = -1;
    int startedOver = 0;            // the attempt emptied the file first
};

// Makes one attempt and closes its socket. Returns 1 when the server closed
// the connection after a complete reply (stage 0), 0 on failure (stage and
// errorText set).
int fetchOnce(TransferRequest& request, TransferResult& result);

// Reads the reply from a connected socket: the part of fetchOnce after the
// request was sent. Returns as fetchOnce does.
int receiveReply(SocketHandle socket, TransferRequest& request, TransferResult& result);
