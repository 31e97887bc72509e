#include "tls_probe.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace vxpoll {

namespace {

struct SslFree {
    void operator()(SSL_CTX* p) const { SSL_CTX_free(p); }
    void operator()(SSL* p) const { SSL_free(p); }
    void operator()(X509* p) const { X509_free(p); }
};

int ConnectWithin(const std::string& host, int port, int timeoutMs, int* why = nullptr)
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list) != 0) return -1;
    int fd = -1;
    for (addrinfo* a = list; a != nullptr && fd < 0; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0) continue;
        int err = 0;
        if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            err = errno;
            if (err == EINPROGRESS) {
                pollfd p{fd, POLLOUT, 0};
                socklen_t len = sizeof err;
                err = ::poll(&p, 1, timeoutMs) == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0
                          ? err
                          : ETIMEDOUT;
            }
        }
        if (err != 0) {
            if (why != nullptr) *why = err;
            ::close(fd);
            fd = -1;
        }
    }
    ::freeaddrinfo(list);
    if (fd < 0) return -1;
    // The handshake blocks, each step bounded.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    return fd;
}

std::string NameText(X509_NAME* name)
{
    if (name == nullptr) return "?";
    BIO* bio = BIO_new(BIO_s_mem());
    if (bio == nullptr) return "?";
    X509_NAME_print_ex(bio, name, 0, XN_FLAG_RFC2253);
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    std::string text(data != nullptr ? data : "", size > 0 ? static_cast<size_t>(size) : 0);
    BIO_free(bio);
    return text.empty() ? "no name" : text;
}

}  // namespace

int ConnectError(const std::string& host, int port, int timeoutMs)
{
    int why = EHOSTUNREACH;
    const int fd = ConnectWithin(host, port, timeoutMs, &why);
    if (fd < 0) return why;
    ::close(fd);
    return 0;
}

std::string BrokerCertificateTrouble(const std::string& host, int port, const std::string& caFile, int timeoutMs)
{
    std::unique_ptr<SSL_CTX, SslFree> ctx(SSL_CTX_new(TLS_client_method()));
    if (!ctx) return {};
    const bool loaded = caFile.empty() ? SSL_CTX_load_verify_locations(ctx.get(), nullptr, "/etc/ssl/certs") == 1
                                       : SSL_CTX_load_verify_locations(ctx.get(), caFile.c_str(), nullptr) == 1;
    ERR_clear_error();
    if (!loaded && !caFile.empty()) return "no certificate could be read from --mqtt-ca " + caFile + " (PEM)";
    // Verified below, so that a failing certificate can still be looked at.
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
    const int fd = ConnectWithin(host, port, timeoutMs);
    if (fd < 0) return {};
    std::unique_ptr<SSL, SslFree> ssl(SSL_new(ctx.get()));
    std::string trouble;
    if (ssl) {
        in6_addr ip6{};
        in_addr ip4{};
        const bool numeric =
            ::inet_pton(AF_INET, host.c_str(), &ip4) == 1 || ::inet_pton(AF_INET6, host.c_str(), &ip6) == 1;
        if (numeric)
            X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl.get()), host.c_str());
        else {
            SSL_set1_host(ssl.get(), host.c_str());
            SSL_set_tlsext_host_name(ssl.get(), host.c_str());
        }
        SSL_set_fd(ssl.get(), fd);
        if (SSL_connect(ssl.get()) == 1) {
            const long result = SSL_get_verify_result(ssl.get());
            std::unique_ptr<X509, SslFree> cert(SSL_get_peer_certificate(ssl.get()));
            if (result != X509_V_OK && cert) {
                const std::string which = "the broker's certificate (" + NameText(X509_get_subject_name(cert.get())) +
                                          ", issued by " + NameText(X509_get_issuer_name(cert.get())) + ")";
                const std::string why = X509_verify_cert_error_string(result);
                if (result == X509_V_ERR_HOSTNAME_MISMATCH || result == X509_V_ERR_IP_ADDRESS_MISMATCH)
                    trouble = which + " is not for " + host + " (" + why + "); connect by a name it carries";
                else if (caFile.empty())
                    trouble = which + " is not trusted by the system's CA certificates (" + why +
                              "); give its CA with --mqtt-ca FILE";
                else
                    trouble = which + " is not trusted by --mqtt-ca " + caFile + " (" + why + ")";
            }
            SSL_shutdown(ssl.get());
        }
    }
    ERR_clear_error();
    ssl.reset();
    ::close(fd);
    return trouble;
}

}  // namespace vxpoll
