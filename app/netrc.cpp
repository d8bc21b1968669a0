#include "app/netrc.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "http/authorization.h"
#include "platform/platform.h"
#include "support/ascii_text.h"
#include "support/log.h"
#include "support/shown_text.h"

namespace {

// A .netrc longer than this is taken for something else and not used.
const int kLongestNetrc = 64 * 1024;
// Static: read once, by a run without credentials in its URL.
char netrcText[kLongestNetrc + 1];

// The tokens of a .netrc text, read in place.
struct TokenReader {
    char* next;
    const char* fault = nullptr;  // why the text is malformed
};

int isBlank(char character) {
    return character == ' ' || character == '\t' || character == '\r' || character == '\n';
}

// Moves past blanks and comments.
void skipBlanks(TokenReader& reader) {
    for (;;) {
        while (isBlank(*reader.next)) ++reader.next;
        if (*reader.next != '#') return;
        while (*reader.next != '\0' && *reader.next != '\n') ++reader.next;
    }
}

// Reads a quoted token in place: a backslash takes the next byte as it is.
char* readQuoted(TokenReader& reader) {
    char* token = ++reader.next;
    char* end = token;
    while (*reader.next != '"') {
        if (*reader.next == '\\' && reader.next[1] != '\0') ++reader.next;
        if (*reader.next == '\0') {
            reader.fault = "a quote that does not end";
            return nullptr;
        }
        *end++ = *reader.next++;
    }
    ++reader.next;
    *end = '\0';
    return token;
}

// Returns the next token, zero-terminated in place, or null at the end of
// the text or at a fault.
char* nextToken(TokenReader& reader) {
    skipBlanks(reader);
    if (*reader.next == '\0') return nullptr;
    if (*reader.next == '"') return readQuoted(reader);
    char* token = reader.next;
    while (*reader.next != '\0' && !isBlank(*reader.next)) ++reader.next;
    if (*reader.next != '\0') *reader.next++ = '\0';
    return token;
}

// Returns the token that a keyword takes, or null with the fault set.
char* valueOf(TokenReader& reader, const char* keyword) {
    char* value = nextToken(reader);
    if (value == nullptr && reader.fault == nullptr) reader.fault = keyword;
    return value;
}

// Skips a macro's lines, which end at an empty line.
void skipMacro(TokenReader& reader) {
    while (*reader.next != '\0' && *reader.next != '\n') ++reader.next;
    while (*reader.next == '\n') {
        char* line = reader.next + 1;
        if (*line == '\n' || (line[0] == '\r' && line[1] == '\n')) return;
        reader.next = line + std::strcspn(line, "\n");
    }
}

// Where the reader stands among the entries.
enum EntryKind { entryNone, entryOther, entryMachine, entryDefault };

// Keeps a login or password of the current entry when it is the one used.
void keepValue(const char* keyword, const char* value, int entry, NetrcLogin* logins) {
    if (entry != entryMachine && entry != entryDefault) return;
    NetrcLogin& login = logins[entry == entryMachine ? 0 : 1];
    if (std::strcmp(keyword, "login") == 0) {
        assignText(login.user, value);
    } else if (std::strcmp(keyword, "password") == 0) {
        assignText(login.password, value);
        login.hasPassword = 1;
    }
}

// Reads one keyword and what it takes. Returns 0 at a fault.
int readKeyword(TokenReader& reader, const char* keyword, const char* host, int& entry, int& matched,
                NetrcLogin* logins) {
    if (std::strcmp(keyword, "machine") == 0) {
        const char* name = valueOf(reader, "\"machine\" without a name");
        int same = name != nullptr && std::strlen(name) == std::strlen(host) &&
                   equalIgnoringCase(name, host, static_cast<int>(std::strlen(host)));
        entry = same && !matched ? entryMachine : entryOther;
        if (same) matched = 1;
        return name != nullptr;
    }
    if (std::strcmp(keyword, "default") == 0) {
        entry = entryDefault;
        return 1;
    }
    if (std::strcmp(keyword, "macdef") == 0) {
        if (valueOf(reader, "\"macdef\" without a name") == nullptr) return 0;
        skipMacro(reader);
        entry = entryOther;
        return 1;
    }
    int known = std::strcmp(keyword, "login") == 0 || std::strcmp(keyword, "password") == 0 ||
                std::strcmp(keyword, "account") == 0;
    if (!known || entry == entryNone) {
        reader.fault = known ? "a login before any \"machine\"" : "a word that is no keyword";
        return 0;
    }
    const char* value = valueOf(reader, "a keyword without its value");
    if (value != nullptr) keepValue(keyword, value, entry, logins);
    return value != nullptr;
}

}  // namespace

int findNetrcLogin(char* text, const char* host, NetrcLogin& login, BoundedString& why) {
    TokenReader reader{text};
    NetrcLogin logins[2];  // the host's machine entry, the default entry
    int entry = entryNone;
    int matched = 0;
    for (char* keyword = nextToken(reader); keyword != nullptr; keyword = nextToken(reader)) {
        if (!readKeyword(reader, keyword, host, entry, matched, logins)) break;
    }
    if (reader.fault != nullptr) {
        assignText(why, reader.fault);
        return netrcMalformed;
    }
    const NetrcLogin& found = logins[matched ? 0 : 1];
    if (found.user.length == 0) return netrcNoLogin;
    login = found;
    return netrcLoginFound;
}

namespace {

// Writes the start of a line about the .netrc at name: ".netrc: <name>".
void startLine(const char* name, BoundedString& line) {
    assignText(line, ".netrc: ");
    appendEscaped(line, name, static_cast<int>(std::strlen(name)));
}

// Says why the .netrc at name is not used.
void sayNotUsed(const char* name, const char* why) {
    BoundedString line;
    startLine(name, line);
    logAt(1, "%s: %s; not used\n", textOf(line), why);
}

#ifdef _WIN32
// Returns the first that exists of the places Windows users keep the file.
const char* findWindowsNetrc(BoundedString& name) {
    const char* homes[] = {std::getenv("HOME"), std::getenv("USERPROFILE")};
    const char* const files[] = {"\\_netrc", "\\.netrc"};
    for (const char* home : homes) {
        if (home == nullptr || *home == '\0') continue;
        for (const char* file : files) {
            assignText(name, home);
            appendBytes(name, file, static_cast<int>(std::strlen(file)));
            std::FILE* probe = std::fopen(textOf(name), "rb");
            if (probe == nullptr) continue;
            std::fclose(probe);
            return textOf(name);
        }
    }
    return nullptr;
}
#endif

// Names the .netrc to read: NETRC's (named explicitly), else the one in
// the home directory. Returns null when there is none to read.
const char* netrcName(BoundedString& name, int& named) {
    const char* explicitName = std::getenv("NETRC");
    named = explicitName != nullptr && *explicitName != '\0';
    if (named) return explicitName;
#ifdef _WIN32
    return findWindowsNetrc(name);
#else
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') return nullptr;
    assignText(name, home);
    appendBytes(name, "/.netrc", 7);
    return textOf(name);
#endif
}

// Reads the file into netrcText. Returns 1, or 0 after the level-1 line
// (none for a missing file that was not named explicitly).
int readNetrcFile(const char* name, int named) {
    std::FILE* file = openStream(name, "rb");
    if (file == nullptr) {
        if (errno != ENOENT || named) sayNotUsed(name, std::strerror(errno));
        return 0;
    }
    size_t length = std::fread(netrcText, 1, kLongestNetrc + 1, file);
    int failed = std::ferror(file);
    int exposed = readableByOthers(file);
    std::fclose(file);
    const char* fault = failed                                         ? "it cannot be read"
                        : length > static_cast<size_t>(kLongestNetrc) ? "it is longer than 64 KiB"
                        : std::memchr(netrcText, '\0', length) != nullptr ? "it holds a zero byte"
                                                                          : nullptr;
    if (fault != nullptr) {
        sayNotUsed(name, fault);
        return 0;
    }
    netrcText[length] = '\0';
    if (exposed) {
        BoundedString line;
        startLine(name, line);
        logAt(1, "%s can be read by other users, who may read its passwords (chmod 600 keeps them yours)\n",
              textOf(line));
    }
    return 1;
}

}  // namespace

int takeNetrcLogin(const char* host, BoundedString& encoded) {
    BoundedString nameRoom;
    int named = 0;
    const char* name = netrcName(nameRoom, named);
    if (name == nullptr || !readNetrcFile(name, named)) return 1;
    NetrcLogin login;
    BoundedString why;
    int finding = findNetrcLogin(netrcText, host, login, why);
    if (finding == netrcMalformed) {
        BoundedString reason;
        assignFormat(reason, "malformed (%s)", textOf(why));
        sayNotUsed(name, textOf(reason));
        return 1;
    }
    if (finding == netrcNoLogin) return 1;
    int fault = encodeLogin(textOf(login.user), login.hasPassword ? textOf(login.password) : nullptr, encoded);
    if (fault == loginTaken) return 1;
    BoundedString problem;
    describeLoginFault(fault, ".netrc", problem);
    logAt(1, "%s", textOf(problem));
    return 0;
}
