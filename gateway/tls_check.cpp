#include "tls_check.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

namespace tqrf::gateway {

namespace {

// A TCP connection to host:port within `wait`, blocking afterwards with `wait` as its send and
// receive timeouts; -1 when there is none.
int connect_to(const std::string& host, int port, std::chrono::milliseconds wait) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return -1;
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> list(found, &freeaddrinfo);
    const int ms = static_cast<int>(wait.count());
    for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
        const int s =
            socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (s < 0) continue;
        bool up = connect(s, a->ai_addr, a->ai_addrlen) == 0;
        if (!up && errno == EINPROGRESS) {
            pollfd p{s, POLLOUT, 0};
            int err = 0;
            socklen_t len = sizeof err;
            up = poll(&p, 1, ms) == 1 && getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) == 0 &&
                 err == 0;
        }
        if (up) {
            fcntl(s, F_SETFL, fcntl(s, F_GETFL) & ~O_NONBLOCK);
            timeval tv{ms / 1000, (ms % 1000) * 1000};
            setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
            return s;
        }
        close(s);
    }
    return -1;
}

}  // namespace

bool takes_connections(const std::string& host, int port, std::chrono::milliseconds wait) {
    const int s = connect_to(host, port, wait);
    if (s < 0) return false;
    close(s);
    return true;
}

std::string certificate_problem(const std::string& host, int port, const std::string& ca_file,
                                std::chrono::milliseconds wait) {
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(SSL_CTX_new(TLS_client_method()),
                                                          &SSL_CTX_free);
    if (!ctx) return "";
    const int loaded = ca_file.empty()
                           ? SSL_CTX_set_default_verify_paths(ctx.get())
                           : SSL_CTX_load_verify_locations(ctx.get(), ca_file.c_str(), nullptr);
    if (loaded != 1) {
        ERR_clear_error();
        return ca_file.empty() ? "the system's trusted CAs do not load"
                               : "the CA file " + ca_file + " does not load as PEM certificates";
    }
    // Handshake to the end whatever the verification says; its result is read afterwards.
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
    std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(ctx.get()), &SSL_free);
    if (!ssl) return "";
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl.get());
    in6_addr ip{};
    const bool literal =
        inet_pton(AF_INET, host.c_str(), &ip) == 1 || inet_pton(AF_INET6, host.c_str(), &ip) == 1;
    if (literal) {
        X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str());
    } else {
        X509_VERIFY_PARAM_set1_host(param, host.c_str(), 0);
        SSL_set_tlsext_host_name(ssl.get(), host.c_str());
    }
    const int s = connect_to(host, port, wait);
    if (s < 0) return "";
    SSL_set_fd(ssl.get(), s);
    std::string out;
    if (SSL_connect(ssl.get()) == 1 || SSL_get0_peer_certificate(ssl.get()) != nullptr) {
        const long v = SSL_get_verify_result(ssl.get());
        if (v != X509_V_OK) out = X509_verify_cert_error_string(v);
        (void)SSL_shutdown(ssl.get());
    }
    ERR_clear_error();
    close(s);
    return out;
}

}  // namespace tqrf::gateway
