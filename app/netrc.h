// .netrc: the login and password for a host, from the file other download
// tools read too, when the URL carries none.
#pragma once

#include "support/bounded_string.h"

// What findNetrcLogin finds.
enum NetrcFinding { netrcNoLogin, netrcLoginFound, netrcMalformed };

struct NetrcLogin {
    BoundedString user;
    BoundedString password;
    int hasPassword = 0;
};

// Looks through a .netrc text for host: the first "machine" entry that
// names it (letters compared without case), else the "default" entry.
// Tokens may be quoted; "macdef" blocks are skipped; "#" starts a comment.
// Returns a NetrcFinding: netrcLoginFound when the entry names a login,
// netrcMalformed with why set for a text that cannot be read whole.
int findNetrcLogin(char* text, const char* host, NetrcLogin& login, BoundedString& why);

// Takes the login for host from the .netrc the environment names as Basic
// credentials into encoded. Returns 1 (encoded empty when there is none;
// a file that cannot be used is ignored after a level-1 line), or 0
// after the level-1 line of a login that cannot be sent.
int takeNetrcLogin(const char* host, BoundedString& encoded);
