#include "http/authorization.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "support/ascii_text.h"
#include "support/format_text.h"
#include "support/log.h"
#include "support/shown_text.h"

namespace {

// Returns 1 for a byte of a token (a scheme or a parameter's name).
int isTokenByte(char character) {
    return std::isalnum(static_cast<unsigned char>(character)) || std::strchr("!#$%&'*+-.^_`|~", character) != nullptr;
}

// Reads the token at text, blanks before it left out. Returns where it
// ends; start and length describe it.
const char* readToken(const char* text, const char*& start, int& length) {
    while (*text == ' ' || *text == '\t') ++text;
    start = text;
    while (*text != '\0' && isTokenByte(*text)) ++text;
    length = static_cast<int>(text - start);
    return text;
}

// Skips to the comma that ends the current element, past quoted strings.
// Returns the text after it, or the end of text.
const char* skipElement(const char* text) {
    int quoted = 0;
    for (; *text != '\0'; ++text) {
        if (quoted && *text == '\\' && text[1] != '\0') {
            ++text;
        } else if (*text == '"') {
            quoted = !quoted;
        } else if (*text == ',' && !quoted) {
            return text + 1;
        }
    }
    return text;
}

// Keeps the first scheme a reply asks for, cut to its room.
void noteScheme(const char* start, int length, TransferResult& result) {
    if (result.askedScheme[0] != '\0') return;
    int room = static_cast<int>(sizeof result.askedScheme) - 1;
    int kept = length < room ? length : room;
    std::memcpy(result.askedScheme, start, static_cast<size_t>(kept));
    result.askedScheme[kept] = '\0';
}

}  // namespace

int decodeUserPart(const char* text, int count, char* decoded) {
    int length = 0;
    for (int index = 0; index < count; ++index) {
        int byte = static_cast<unsigned char>(text[index]);
        if (byte == '%') {
            int high = index + 2 < count ? hexDigitValue(text[index + 1]) : -1;
            int low = index + 2 < count ? hexDigitValue(text[index + 2]) : -1;
            if (high < 0 || low < 0) return -loginBrokenEscape;
            byte = high * 16 + low;
            index += 2;
        }
        if (byte < 32 || byte == 127) return -loginControlByte;
        if (length == kLongestLogin) return -loginTooLong;
        decoded[length++] = static_cast<char>(byte);
    }
    return length;
}

void encodeBase64(const unsigned char* bytes, int count, BoundedString& encoded) {
    static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    char text[(kLongestLogin + 3) / 3 * 4 + 1];
    int length = 0;
    for (int index = 0; index < count; index += 3) {
        int remaining = count - index;
        unsigned group = static_cast<unsigned>(bytes[index]) << 16;
        if (remaining > 1) group |= static_cast<unsigned>(bytes[index + 1]) << 8;
        if (remaining > 2) group |= bytes[index + 2];
        text[length++] = kDigits[(group >> 18) & 63];
        text[length++] = kDigits[(group >> 12) & 63];
        text[length++] = remaining > 1 ? kDigits[(group >> 6) & 63] : '=';
        text[length++] = remaining > 2 ? kDigits[group & 63] : '=';
    }
    assignBytes(encoded, text, length);
}

int encodeLogin(const char* user, const char* password, BoundedString& encoded) {
    int userLength = static_cast<int>(std::strlen(user));
    int passwordLength = password == nullptr ? 0 : static_cast<int>(std::strlen(password));
    if (userLength + passwordLength > kLongestLogin) return loginTooLong;
    if (std::strchr(user, ':') != nullptr) return loginColonInUser;
    unsigned char joined[kLongestLogin + 2];
    int length = 0;
    for (const char* byte = user; *byte != '\0'; ++byte) joined[length++] = static_cast<unsigned char>(*byte);
    joined[length++] = ':';
    for (int index = 0; index < passwordLength; ++index) joined[length++] = static_cast<unsigned char>(password[index]);
    for (int index = 0; index < length; ++index) {
        if (joined[index] < 32 || joined[index] == 127) return loginControlByte;
    }
    encodeBase64(joined, length, encoded);
    return loginTaken;
}

int takeUrlLogin(const char* text, int count, BoundedString& encoded) {
    char user[kLongestLogin + 1];
    char password[kLongestLogin + 1];
    const void* colon = std::memchr(text, ':', static_cast<size_t>(count));
    int userCount = colon == nullptr ? count : static_cast<int>(static_cast<const char*>(colon) - text);
    int userLength = decodeUserPart(text, userCount, user);
    if (userLength < 0) return -userLength;
    user[userLength] = '\0';
    if (colon == nullptr) return encodeLogin(user, nullptr, encoded);
    int passwordLength = decodeUserPart(text + userCount + 1, count - userCount - 1, password);
    if (passwordLength < 0) return -passwordLength;
    password[passwordLength] = '\0';
    return encodeLogin(user, password, encoded);
}

void describeLoginFault(int fault, const char* source, BoundedString& problem) {
    const char* why = fault == loginBrokenEscape  ? "a '%' without two hex digits"
                      : fault == loginControlByte ? "a control character"
                      : fault == loginColonInUser ? "a ':' in the user name"
                                                  : "user and password over 1024 bytes together";
    assignFormat(problem, "Bad login in %s: %s\n", source, why);
}

int sendsLogin(const TransferRequest& request) {
    const TargetAddress& origin = request.origin;
    return request.login.length > 0 && request.secure == origin.secure && request.port == origin.port &&
           strcasecmp(textOf(request.host), textOf(origin.host)) == 0;
}

int composeAuthorization(const TransferRequest& request, char* line, int room) {
    if (!sendsLogin(request)) return 0;
    int length = formatText(line, static_cast<size_t>(room), "Authorization: Basic %s\r\n", textOf(request.login));
    logAt(9, "                 Authorization: Basic ****\n");
    return length;
}

void readChallenge(const char* value, TransferResult& result) {
    while (*value != '\0') {
        const char* start = nullptr;
        int length = 0;
        const char* after = readToken(value, start, length);
        while (*after == ' ' || *after == '\t') ++after;
        // A name followed by '=' is a parameter of the scheme before it.
        if (length > 0 && *after != '=') {
            noteScheme(start, length, result);
            if (length == 5 && equalIgnoringCase(start, "basic", 5)) result.offersBasic = 1;
        }
        value = skipElement(after);
    }
}

int loginRefused(const TransferRequest& request, TransferResult& result) {
    if (request.login.length == 0 || result.replyStatus != 401) return 0;
    if (result.offersBasic || result.askedScheme[0] == '\0') {
        assignText(result.errorText, "Authentication refused by the server\n");
    } else {
        assignText(result.errorText, "Authentication refused: the server asks for ");
        appendEscaped(result.errorText, result.askedScheme, static_cast<int>(std::strlen(result.askedScheme)));
        const char kTail[] = ", which webhaul does not send\n";
        appendBytes(result.errorText, kTail, static_cast<int>(sizeof kTail - 1));
    }
    result.stage = stageServerRefused;
    result.replyRefused = 1;
    return 1;
}

void hidePassword(const char* address, BoundedString& shown) {
    const char* separator = std::strstr(address, "://");
    const char* authority = separator == nullptr ? address : separator + 3;
    int authorityLength = static_cast<int>(std::strcspn(authority, "/?#"));
    const char* at = nullptr;
    for (int index = 0; index < authorityLength; ++index) at = authority[index] == '@' ? authority + index : at;
    const void* colon = at == nullptr ? nullptr : std::memchr(authority, ':', static_cast<size_t>(at - authority));
    if (colon == nullptr) {
        assignText(shown, address);
        return;
    }
    assignBytes(shown, address, static_cast<int>(static_cast<const char*>(colon) - address));
    appendBytes(shown, ":****", 5);
    appendBytes(shown, at, static_cast<int>(std::strlen(at)));
}
