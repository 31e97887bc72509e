#pragma once
#include <string>

namespace vxpoll {

// libmosquitto says only "A TLS error occurred." when the broker's
// certificate does not check. This connects once more with OpenSSL, checks
// the certificate as libmosquitto does (against `caFile`, or the system's
// store when empty, and for `host`) and says what is wrong and with which
// certificate: "the broker's certificate (CN=broker, issued by CN=Site CA) is
// not trusted by --mqtt-ca ca.pem: unable to get local issuer certificate".
// Empty when the certificate checks or the broker cannot be reached within
// `timeoutMs`.
std::string BrokerCertificateTrouble(const std::string& host, int port, const std::string& caFile, int timeoutMs);

// The errno of a connect to host:port (ECONNREFUSED, ETIMEDOUT after
// `timeoutMs`), 0 when it connects: the reason a TLS connection hung up
// before its handshake, which the library's first write has consumed.
int ConnectError(const std::string& host, int port, int timeoutMs);

}  // namespace vxpoll
