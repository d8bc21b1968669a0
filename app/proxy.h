// The web proxy the environment names for a scheme, and the hosts that
// are reached without it.
#pragma once

#include "http/transfer.h"

// The port of a proxy that names none, as ProxySettings says.
const int kDefaultProxyPort = 1080;

// Takes a proxy value apart: "http://[user:password@]host[:port][/]" or
// "host[:port]", the user part's percent-escapes decoded. variable names
// where the value came from, for the problem line. Returns 1, or 0 with
// problem set to the level-1 line.
int parseProxy(const char* value, const char* variable, ProxySettings& proxy, BoundedString& problem);

// Reads the proxy for http:// (secure 0) or https:// (secure 1) from the
// environment. Returns 1 with proxy set (inUse 0 when none is named), or 0
// with problem set to the level-1 line of a value that cannot be used.
int readProxyFromEnvironment(int secure, ProxySettings& proxy, BoundedString& problem);

// Reads the hosts the environment says to reach without a proxy into
// exceptions ("" when none). Returns 1 with lines set to the level-1 line
// that names the malformed address blocks it ignores (or ""), or 0 with
// lines set to the level-1 line of a value too long to keep whole.
int readProxyExceptions(BoundedString& exceptions, BoundedString& lines);

// Returns 1 when host (an IPv6 address in brackets or not) is one of the
// comma-separated exceptions: a name matches itself and its subdomains
// (a leading "." and a ":port" of an entry are left out), an address
// itself and an address block "address/bits" the literal addresses in
// it, and "*" every host.
int hostBypassesProxy(const char* exceptions, const char* host);
