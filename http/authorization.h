// A login for the server: its Basic credentials, built from a URL's user
// information, .netrc or a proxy value; the Authorization line that
// carries them to the user's scheme, host and port alone; and the end of
// a run whose login the server refuses.
#pragma once

#include "http/transfer.h"

// The most bytes a user and password take together, decoded.
const int kLongestLogin = 1024;

// Why a login is refused.
enum LoginFault {
    loginTaken = 0,
    loginBrokenEscape,  // a '%' without two hex digits
    loginControlByte,   // a decoded byte below 0x20, or 0x7F
    loginColonInUser,   // the user name holds ':', which Basic cannot carry
    loginTooLong,       // more than kLongestLogin bytes
};

// Decodes the percent-escapes of count bytes into decoded, which has room
// for kLongestLogin bytes. Returns the decoded length, or a LoginFault
// negated (the fault of a longer text is loginTooLong).
int decodeUserPart(const char* text, int count, char* decoded);

// Encodes count bytes in base64 into the string.
void encodeBase64(const unsigned char* bytes, int count, BoundedString& encoded);

// Makes Basic credentials of a decoded user and password (null: none).
// Returns loginTaken with encoded set, or the LoginFault.
int encodeLogin(const char* user, const char* password, BoundedString& encoded);

// Takes a URL's user information, "user[:password]" with percent-escapes,
// of count bytes. Returns loginTaken with encoded set, or the LoginFault.
int takeUrlLogin(const char* text, int count, BoundedString& encoded);

// Sets problem to the level-1 line that refuses a login from source
// ("the URL", ".netrc").
void describeLoginFault(int fault, const char* source, BoundedString& problem);

// Returns 1 when the request goes to the scheme, host and port the login
// was given for.
int sendsLogin(const TransferRequest& request);

// Writes the Authorization line when the request sends the login, logging
// it with the credentials hidden. Returns its length (0 when none).
int composeAuthorization(const TransferRequest& request, char* line, int room);

// Reads a WWW-Authenticate value: notes whether it offers Basic, and the
// first scheme the reply asks for.
void readChallenge(const char* value, TransferResult& result);

// A 401 in a run with a login (sent, or dropped at a redirect) ends the
// run: asking again would only count against the account. Returns 1 with
// the stage and the line set when the reply is such a 401.
int loginRefused(const TransferRequest& request, TransferResult& result);

// Copies an absolute address for a line on the terminal with the password
// of its user information, if any, shown as "****".
void hidePassword(const char* address, BoundedString& shown);
