// Why the broker's certificate is not trusted. OpenSSL reports a failed handshake as
// "certificate verify failed" only; after such a failure the gateway makes a handshake of its
// own to the broker with the same trust (the CA file, else the system's CAs) and names the
// certificate's problem as OpenSSL's verification gives it ("unable to get local issuer
// certificate", "self-signed certificate", "certificate has expired", "hostname mismatch").
#pragma once

#include <chrono>
#include <string>

namespace tqrf::gateway {

// The verification's words, or "" when the certificate verifies, or the handshake does not
// get that far within `wait` (each of connect and handshake).
std::string certificate_problem(const std::string& host, int port, const std::string& ca_file,
                                std::chrono::milliseconds wait);

// Whether host:port takes a TCP connection within `wait` (closed again at once).
bool takes_connections(const std::string& host, int port, std::chrono::milliseconds wait);

}  // namespace tqrf::gateway
