// The checks of the server's certificate that SChannel is told to leave
// to the program: chain, dates and name, with crypt32's calls.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <cstddef>

#include "support/bounded_string.h"

// Resolves the crypt32 calls the checks need. Returns 1 when all are there.
int loadCertificateCalls(HMODULE library);

// Checks the server's certificate: chain, dates, name. Returns tlsStarted,
// or tlsRefused with problem set for the first check that failed.
int checkCertificate(PCCERT_CONTEXT certificate, const char* hostName, BoundedString& problem);

// Writes the certificate's subject and issuer as X.500 names.
void certificateNames(PCCERT_CONTEXT certificate, char* subject, size_t subjectRoom, char* issuer, size_t issuerRoom);

// Returns 1 when the host is a dotted IPv4 or an IPv6 address rather than
// a name: SNI never carries one, and the name check looks for the address.
int isAddress(const char* hostName);

// Lets go of a certificate the system handed over.
void freeCertificate(PCCERT_CONTEXT certificate);
