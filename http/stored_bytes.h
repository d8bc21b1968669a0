// What a reply may do to the bytes the output file already holds: the
// rules that keep the file a true prefix (or asked range) of one version
// of the server's file, or the body of one complete reply.
#pragma once

#include "http/transfer.h"

enum ReplyUse {
    useAppend,           // the body follows the stored bytes (or starts an empty file)
    useReplace,          // the body replaces them: the file is emptied first
    useSkipStored,       // the same file again into an output that cannot be emptied
    useAlreadyComplete,  // the server says the stored bytes are its whole file
    useRefuse,           // the reply does not fit the stored bytes: nothing is stored
    useCannotReplace,    // it would replace what an output that cannot be emptied holds
};

// Decides what the reply whose header section just ended may do to the
// stored bytes. For useRefuse and useCannotReplace, note says why.
int judgeReply(const TransferRequest& request, const TransferResult& result, int outputCanBeEmptied,
               BoundedString& note);

// Makes request.stored describe what the file holds once the body of a
// reply stored as use (a ReplyUse) says begins: the bytes it continues or
// reads past stay counted, with what their description lacked taken from
// the reply; any other body starts the file anew. Returns the file offset
// of the body's first stored byte.
std::int64_t beginStoredBody(TransferRequest& request, const TransferResult& result, int use);

// Returns the file offset where the first stored byte of a body stored as
// use says goes.
std::int64_t storedBodyOffset(const TransferRequest& request, int use);

// Returns 1 when the stored bytes already reach the end of what is wanted:
// past the last byte asked for, or to the known end of the server's file.
int storedBytesComplete(const StoredBytes& stored);

// Returns 1 when a reply of the file (200, 206 or 416) gives another total
// or another validator than the stored bytes came with.
int replyShowsChangedFile(const StoredBytes& stored, const TransferResult& result);
