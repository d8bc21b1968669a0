#include "support/socket_errors.h"

#include "platform/platform.h"
#include "support/log.h"

namespace {

struct SocketErrorRow {
    int code;
    const char* text;
};

const SocketErrorRow kSocketErrorRows[] = {
    {10004, "Interrupt"},
    {10009, "Bad file"},
    {10013, "Access denied"},
    {10014, "Fault"},
    {10022, "Invalid"},
    {10024, "MFILE (?)"},
    {10035, "Would block"},
    {10036, "In progress"},
    {10037, "Already"},
    {10038, "Not a socket"},
    {10039, "Destination address required"},
    {10040, "Message size"},
    {10041, "Protocol type"},
    {10042, "Protocol option"},
    {10043, "Protocol not supported"},
    {10044, "Socket type not supported"},
    {10045, "Option not supported"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported"},
    {10048, "Address in use"},
    {10049, "Address not available"},
    {10050, "Network down"},
    {10051, "Network unreachable"},
    {10052, "Network reset"},
    {10053, "Connection aborted"},
    {10054, "Connection reset"},
    {10055, "No buffers"},
    {10056, "Is connected"},
    {10057, "Not connected"},
    {10058, "Shutdown"},
    {10059, "Too many REFS"},
    {10060, "Timed out"},
    {10061, "Connection refused"},
    {10062, "Loop"},
    {10063, "Name too long"},
    {10064, "Host down"},
    {10065, "Host unreachable"},
    {10066, "Not empty"},
    {10067, "PROCLIM"},
    {10068, "USERS"},
    {10069, "DQUOT"},
    {10070, "Stale"},
    {10071, "Remote"},
    {10091, "System not ready"},
    {10092, "Version not supported"},
    {10093, "Not initialised"},
    {10101, "Disconnected"},
};

// The lookup codes are kept apart from the table above: that one holds
// only what a socket call itself reports.
const SocketErrorRow kLookupErrorRows[] = {
    {11001, "Host not found"},
    {11002, "Try again"},
    {11003, "Non-recoverable error"},
    {11004, "No data record"},
};

}  // namespace

const char* socketErrorText(int code) {
    for (const SocketErrorRow& row : kSocketErrorRows) {
        if (row.code == code) return row.text;
    }
    return nullptr;
}

BoundedString lastSocketErrorText() {
    return BoundedString(socketErrorText(lastSocketError()));
}

void reportFailure(const char* what) {
    BoundedString text = lastSocketErrorText();
    logAt(1, "%s: %s", what, textOf(text));
}

const char* lookupErrorText(int code) {
    for (const SocketErrorRow& row : kLookupErrorRows) {
        if (row.code == code) return row.text;
    }
    return nullptr;
}

const char* lookupFailureText(int code) {
    const char* reason = lookupErrorText(code);
    return reason != nullptr ? reason : socketErrorText(code);
}

void reportLookupFailure(const char* what) {
    int code = lastSocketError();
    const char* reason = lookupFailureText(code);
    // A code without any text still ends the line, and says which it was.
    if (reason == nullptr) {
        logAt(1, "%s: error %d\n", what, code);
    } else {
        logAt(1, "%s: %s\n", what, reason);
    }
}
