// Where a redirect points: a Location resolved against the address that
// sent it, the way a browser does, or the reason it is not followed.
#pragma once

#include "support/bounded_string.h"

// The most redirects one attempt follows; the next one ends the run.
const int kMostRedirects = 20;

// A Location longer than this is not followed.
const int kLongestLocation = 64 * 1024;

// Why a redirect is not followed.
enum RedirectRefusal {
    redirectFollowed = 0,
    redirectTooMany,
    redirectOtherScheme,
    redirectDowngrade,
    redirectUnparsable,
    redirectControlCharacter,
    redirectTooLong,
    redirectNoIpv6,
    redirectTargetTooLong,  // the address it resolves to passes the string cap
    redirectHostTooLong,
};

// Resolves location against base, an absolute http:// or https:// address
// without fragment, into the absolute address to ask next: dot segments
// removed, the fragment dropped, spaces and bytes of 0x80 and above
// percent-encoded, an empty path as "/".
// Returns redirectFollowed with target set, or the RedirectRefusal.
int resolveLocation(const char* base, const char* location, BoundedString& target);

// Returns the level-1 line (newline included) that says why a redirect
// was not followed.
const char* redirectRefusalLine(int refusal);
