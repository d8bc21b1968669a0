// The checks of the server's certificate on Windows. SChannel is told to
// check nothing (manual validation): under Wine it checks nothing anyway,
// and its SSL policy passes a chain that reaches no trusted root. So the
// chain, the dates and the name are checked here, in that order, and the
// first failure is the one reported, as on every platform. crypt32.dll is
// loaded with secur32.dll, on the first https connection.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include "platform/schannel_certificates.h"

#include <cstdio>
#include <cstring>

#include "platform/tls.h"
#include "platform/tls_texts.h"
#include "platform/windows_library.h"

namespace {

// The SSL policy's flags for checks made before it (wininet's values).
const DWORD kIgnoreUnknownAuthority = 0x00000100;
const DWORD kIgnoreDates = 0x00002000;
// The SSL policy's answer for a certificate that is for another name.
const DWORD kNameMismatch = static_cast<DWORD>(CERT_E_CN_NO_MATCH);
// The few crypt32 calls the checks need, resolved once.
struct CryptCalls {
    decltype(&CertGetCertificateChain) getChain;
    decltype(&CertFreeCertificateChain) freeChain;
    decltype(&CertVerifyCertificateChainPolicy) verifyPolicy;
    decltype(&CertFreeCertificateContext) freeCertificate;
    decltype(&CertNameToStrA) nameToText;
    decltype(&CertGetNameStringA) getName;
    decltype(&CertFindExtension) findExtension;
    decltype(&CryptDecodeObject) decode;
};

CryptCalls cryptCalls = {};

// Writes the day of a certificate time as YYYY-MM-DD.
void formatDay(const FILETIME& time, char* text, size_t capacity) {
    SYSTEMTIME day;
    FileTimeToSystemTime(&time, &day);
    std::snprintf(text, capacity, "%04u-%02u-%02u", day.wYear, day.wMonth, day.wDay);
}

// Returns 1 when the chain reaches a trusted authority; its dates are
// checked apart.
int chainIsTrusted(PCCERT_CHAIN_CONTEXT chain) {
    const DWORD dateErrors = CERT_TRUST_IS_NOT_TIME_VALID | CERT_TRUST_IS_NOT_TIME_NESTED |
                             CERT_TRUST_CTL_IS_NOT_TIME_VALID;
    const DWORD revocationUnknown = CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;
    return (chain->TrustStatus.dwErrorStatus & ~(dateErrors | revocationUnknown)) == 0 && chain->cChain > 0;
}

// Finds the first certificate of the chain, the server's first, that is
// not valid today. Returns 1 with problem set, naming it, when one is.
int findDateFailure(PCCERT_CHAIN_CONTEXT chain, const char* hostName, BoundedString& problem) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
    for (DWORD index = 0; index < simple->cElement; ++index) {
        CERT_INFO* info = simple->rgpElement[index]->pCertContext->pCertInfo;
        int early = CompareFileTime(&now, &info->NotBefore) < 0;
        if (!early && CompareFileTime(&now, &info->NotAfter) <= 0) continue;
        char day[16];
        formatDay(early ? info->NotBefore : info->NotAfter, day, sizeof day);
        char subject[512] = "";
        cryptCalls.nameToText(X509_ASN_ENCODING, &info->Subject, CERT_X500_NAME_STR, subject, sizeof subject);
        TlsChainPlace place = index == 0 ? tlsLeaf : index + 1 == simple->cElement ? tlsRoot : tlsIntermediate;
        describeChainDateRefusal(early ? tlsNotYetValid : tlsExpired, place, subject, hostName, day, problem);
        return 1;
    }
    return 0;
}

// Returns the certificate's subjectAltName decoded into storage, or null
// when it has none (or more than storage holds).
const CERT_ALT_NAME_INFO* alternativeNames(PCCERT_CONTEXT certificate, void* storage, DWORD capacity) {
    const CERT_INFO* info = certificate->pCertInfo;
    PCERT_EXTENSION extension =
        cryptCalls.findExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
    if (extension == nullptr) return nullptr;
    const CRYPT_OBJID_BLOB& encoded = extension->Value;
    DWORD size = capacity;
    int decoded = cryptCalls.decode(X509_ASN_ENCODING, X509_ALTERNATE_NAME, encoded.pbData, encoded.cbData, 0,
                                    storage, &size);
    return decoded ? static_cast<const CERT_ALT_NAME_INFO*>(storage) : nullptr;
}

// Returns 1 when the certificate lists the IPv4 address among its
// subjectAltName entries. Wine's SSL policy refuses an address even when
// it is listed, so this does not ask it.
int listsAddress(PCCERT_CONTEXT certificate, const char* hostName) {
    AddressList address;
    if (!parseNumericAddress(hostName, 0, address) || address.entries[0].family != kAddressFamilyInet) return 0;
    alignas(8) unsigned char storage[4096];
    const CERT_ALT_NAME_INFO* names = alternativeNames(certificate, storage, sizeof storage);
    for (DWORD index = 0; names != nullptr && index < names->cAltEntry; ++index) {
        const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[index];
        if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == 4 &&
            std::memcmp(entry.IPAddress.pbData, address.entries[0].bytes, 4) == 0) {
            return 1;
        }
    }
    return 0;
}

// Adds the names the certificate is for: its DNS and IPv4 entries, else
// its common name, shown as "CN=...".
void listCertificateNames(PCCERT_CONTEXT certificate, CertificateNames& names) {
    alignas(8) unsigned char storage[4096];
    const CERT_ALT_NAME_INFO* entries = alternativeNames(certificate, storage, sizeof storage);
    char name[512];
    for (DWORD index = 0; entries != nullptr && index < entries->cAltEntry; ++index) {
        const CERT_ALT_NAME_ENTRY& entry = entries->rgAltEntry[index];
        int length = 0;
        if (entry.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME) {
            length = WideCharToMultiByte(CP_UTF8, 0, entry.pwszDNSName, -1, name, sizeof name, nullptr, nullptr) - 1;
        } else if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == 4) {
            const BYTE* bytes = entry.IPAddress.pbData;
            length = std::snprintf(name, sizeof name, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
        }
        if (length > 0) addCertificateName(names, name, length);
    }
    if (names.count > 0) return;
    std::memcpy(name, "CN=", 3);
    DWORD got = cryptCalls.getName(certificate, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_COMMON_NAME), name + 3,
                                   static_cast<DWORD>(sizeof name - 3));
    if (got > 1) addCertificateName(names, name, static_cast<int>(std::strlen(name)));
}

// Asks the SSL policy whether the chain's certificate is for the host name
// (wildcards included). Returns 0 when it is, else the policy's error.
DWORD nameError(PCCERT_CHAIN_CONTEXT chain, const char* hostName) {
    WCHAR wideName[256];
    if (MultiByteToWideChar(CP_UTF8, 0, hostName, -1, wideName, 256) == 0) return kNameMismatch;
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA server;
    std::memset(&server, 0, sizeof server);
    server.cbSize = sizeof server;
    server.dwAuthType = AUTHTYPE_SERVER;
    server.fdwChecks = kIgnoreUnknownAuthority | kIgnoreDates;
    server.pwszServerName = wideName;
    CERT_CHAIN_POLICY_PARA parameters = {sizeof parameters, 0, &server};
    CERT_CHAIN_POLICY_STATUS status;
    std::memset(&status, 0, sizeof status);
    status.cbSize = sizeof status;
    if (!cryptCalls.verifyPolicy(CERT_CHAIN_POLICY_SSL, chain, &parameters, &status)) return kNameMismatch;
    return status.dwError;
}

// Finds why the name check fails, if it does. Returns 1 with problem set
// when it fails.
int findNameFailure(PCCERT_CHAIN_CONTEXT chain, const char* hostName, BoundedString& problem) {
    PCCERT_CONTEXT certificate = chain->rgpChain[0]->rgpElement[0]->pCertContext;
    DWORD error = 0;
    if (isAddress(hostName)) {
        error = listsAddress(certificate, hostName) ? 0 : kNameMismatch;
    } else {
        error = nameError(chain, hostName);
    }
    if (error == 0) return 0;
    if (error != kNameMismatch) {
        describeTlsRefusal(tlsNotTrusted, hostName, "", problem);
        return 1;
    }
    CertificateNames names;
    listCertificateNames(certificate, names);
    describeNameMismatch(names, hostName, problem);
    return 1;
}

// Checks the server's certificate: chain, dates, name. Returns tlsStarted,
// or tlsRefused with problem set for the first check that failed.
}  // namespace

int checkCertificate(PCCERT_CONTEXT certificate, const char* hostName, BoundedString& problem) {
    CERT_CHAIN_PARA parameters;
    std::memset(&parameters, 0, sizeof parameters);
    parameters.cbSize = sizeof parameters;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    int trusted = 0;
    int failed = 1;
    if (cryptCalls.getChain(nullptr, certificate, nullptr, certificate->hCertStore, &parameters, 0, nullptr, &chain)) {
        trusted = chainIsTrusted(chain);
        failed = !trusted || findDateFailure(chain, hostName, problem) || findNameFailure(chain, hostName, problem);
        cryptCalls.freeChain(chain);
    }
    if (!failed) return tlsStarted;
    if (!trusted) describeTlsRefusal(tlsNotTrusted, hostName, "", problem);
    return tlsRefused;
}

int loadCertificateCalls(HMODULE library) {
    return resolve(library, "CertGetCertificateChain", cryptCalls.getChain) &&
           resolve(library, "CertFreeCertificateChain", cryptCalls.freeChain) &&
           resolve(library, "CertVerifyCertificateChainPolicy", cryptCalls.verifyPolicy) &&
           resolve(library, "CertFreeCertificateContext", cryptCalls.freeCertificate) &&
           resolve(library, "CertNameToStrA", cryptCalls.nameToText) &&
           resolve(library, "CertGetNameStringA", cryptCalls.getName) &&
           resolve(library, "CertFindExtension", cryptCalls.findExtension) &&
           resolve(library, "CryptDecodeObject", cryptCalls.decode);
}

void certificateNames(PCCERT_CONTEXT certificate, char* subject, size_t subjectRoom, char* issuer, size_t issuerRoom) {
    CERT_INFO* info = certificate->pCertInfo;
    cryptCalls.nameToText(X509_ASN_ENCODING, &info->Subject, CERT_X500_NAME_STR, subject, static_cast<DWORD>(subjectRoom));
    cryptCalls.nameToText(X509_ASN_ENCODING, &info->Issuer, CERT_X500_NAME_STR, issuer, static_cast<DWORD>(issuerRoom));
}

void freeCertificate(PCCERT_CONTEXT certificate) { cryptCalls.freeCertificate(certificate); }

int isAddress(const char* hostName) {
    return std::strspn(hostName, "0123456789.") == std::strlen(hostName) || std::strchr(hostName, ':') != nullptr;
}
