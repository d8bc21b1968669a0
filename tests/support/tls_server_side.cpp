#include "tests/support/tls_server_side.h"

#include <chrono>
#include <csignal>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/time.h>

#include "tests/support/test_certificates.h"

struct TlsServerContext {
    SSL_CTX* context;
};

struct TlsServerConnection {
    SSL* connection;
};

namespace {

// Sets the context up as the ways after the leaf's name ask; a client
// certificate asked for is never checked.
void serveAsAsked(SSL_CTX* context, const std::string& ways) {
    int required = ways.find(kRequiringClientCertificate) != std::string::npos;
    if (required || ways.find(kAskingClientCertificate) != std::string::npos) {
        SSL_CTX_set_verify(context, SSL_VERIFY_PEER | (required ? SSL_VERIFY_FAIL_IF_NO_PEER_CERT : 0),
                           [](int, X509_STORE_CTX*) { return 1; });
    }
    if (ways.find(kAtMostTls12) != std::string::npos) SSL_CTX_set_max_proto_version(context, TLS1_2_VERSION);
}

}  // namespace

TlsServerContext* makeTlsServerContext(const std::string& leafAndWays) {
    // OpenSSL writes with send(), not with MSG_NOSIGNAL: a client that went
    // away must not end the test process.
    std::signal(SIGPIPE, SIG_IGN);
    const std::string& directory = testCertificateDirectory();
    if (directory.empty()) return nullptr;
    std::string leaf = leafAndWays.substr(0, leafAndWays.find('+'));
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (context == nullptr) return nullptr;
    if (SSL_CTX_use_certificate_chain_file(context, (directory + leaf + ".pem").c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(context, (directory + leaf + ".key").c_str(), SSL_FILETYPE_PEM) != 1) {
        SSL_CTX_free(context);
        return nullptr;
    }
    serveAsAsked(context, leafAndWays.substr(leaf.size()));
    return new TlsServerContext{context};
}

void freeTlsServerContext(TlsServerContext* context) {
    if (context == nullptr) return;
    SSL_CTX_free(context->context);
    delete context;
}

TlsServerConnection* acceptTlsConnection(TlsServerContext* context, int connection) {
    // A client that never finishes the handshake must not hold the server.
    timeval limit = {5, 0};
    setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    SSL* tls = SSL_new(context->context);
    if (tls == nullptr) return nullptr;
    SSL_set_fd(tls, connection);
    if (SSL_accept(tls) != 1) {
        SSL_free(tls);
        return nullptr;
    }
    return new TlsServerConnection{tls};
}

std::string readTlsRequestHead(TlsServerConnection* tls) {
    std::string head;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (head.find("\r\n\r\n") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        char block[4096];
        int count = SSL_read(tls->connection, block, sizeof block);
        if (count <= 0) break;
        head.append(block, static_cast<size_t>(count));
    }
    return head;
}

int sendTlsBytes(TlsServerConnection* tls, const char* bytes, size_t count) {
    return count == 0 || SSL_write(tls->connection, bytes, static_cast<int>(count)) > 0;
}

std::string sealTlsRecord(TlsServerConnection* tls, const std::string& bytes) {
    // The record is written into memory, then writes go to the socket again.
    int socket = SSL_get_fd(tls->connection);
    BIO* memory = BIO_new(BIO_s_mem());
    SSL_set0_wbio(tls->connection, memory);
    SSL_write(tls->connection, bytes.data(), static_cast<int>(bytes.size()));
    char* sealed = nullptr;
    long length = BIO_get_mem_data(memory, &sealed);
    std::string record(sealed, static_cast<size_t>(length));
    SSL_set0_wbio(tls->connection, BIO_new_socket(socket, BIO_NOCLOSE));
    return record;
}

void endTlsConnection(TlsServerConnection* tls, int notify) {
    if (tls == nullptr) return;
    if (notify) SSL_shutdown(tls->connection);
    SSL_free(tls->connection);
    delete tls;
}
