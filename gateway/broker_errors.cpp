#include "broker_errors.h"

#include <MQTTAsync.h>

#include <cctype>
#include <cstdio>
#include <sstream>
#include <vector>

namespace tqrf::gateway {

namespace {

std::string user_of(const BrokerTarget& t) {
    return t.username.empty() ? "no user name (anonymous)" : "user \"" + t.username + "\"";
}

// What to look at when the server's certificate is not trusted.
std::string trust_hint(const BrokerTarget& t) {
    if (t.ca_file.empty()) {
        return "the broker's certificate is not signed by a CA this system trusts: name the CA "
               "that signed it in broker.ca_file (--ca-file)";
    }
    return "the broker's certificate is not signed by the CA in " + t.ca_file +
           " (broker.ca_file, --ca-file): give the CA that signed the broker's certificate";
}

}  // namespace

std::string reason_words(int reason) {
    if (reason == 0) return "success";
    const char* s = MQTTReasonCode_toString(static_cast<MQTTReasonCodes>(reason));
    std::string out = s != nullptr ? s : "reason code " + std::to_string(reason);
    for (auto& ch : out) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return out;
}

std::string tls_reason(const std::string& lines) {
    // OpenSSL 3: "error:0A000086:SSL routines:tls_post_process_server_certificate:certificate
    // verify failed:../ssl/statem/statem_clnt.c:1889:" and sometimes data after the last colon.
    std::istringstream in(lines);
    std::string line, first;
    while (std::getline(in, line)) {
        const auto start = line.find("error:");
        if (start == std::string::npos) continue;
        std::vector<std::string> parts;
        std::string part;
        std::istringstream fields(line.substr(start));
        while (std::getline(fields, part, ':')) parts.push_back(part);
        // error, code, library, function, reason, file, line[, data]
        if (parts.size() < 5) continue;
        std::string reason = parts[4];
        if (parts.size() > 7) {
            std::string data;
            for (std::size_t i = 7; i < parts.size(); ++i) data += (i > 7 ? ":" : "") + parts[i];
            while (!data.empty() && (data.back() == '\n' || data.back() == ' ')) data.pop_back();
            if (!data.empty()) reason += ": " + data;
        }
        if (first.empty()) first = reason;
    }
    return first;
}

std::string describe_connect_failure(const ConnectFailure& f, const BrokerTarget& t) {
    std::string what, todo;
    // Paho puts a CONNACK's refusal in `code` (an MQTT 3.1.1 return code or an MQTT 5 reason).
    int r = f.reason;
    if (r == 0 && f.code > 0) r = f.code == 4 ? 134 : f.code == 5 ? 135 : f.code;
    // mosquitto answers a wrong password with "not authorized".
    if (r == MQTTREASONCODE_BAD_USER_NAME_OR_PASSWORD ||
        (r == MQTTREASONCODE_NOT_AUTHORIZED && !t.username.empty())) {
        what = "the broker refused the user name or password of " + user_of(t) + " (" +
               reason_words(r) + ")";
        todo = t.password_file.empty()
                   ? "give broker.username and broker.password_file (--username, --password-file)"
                   : "check the user name and the password in " + t.password_file +
                         " against the broker's password file";
    } else if (r == MQTTREASONCODE_NOT_AUTHORIZED) {
        what = "the broker takes no anonymous clients (not authorized)";
        todo = "give broker.username and broker.password_file (--username, --password-file)";
    } else if (r == MQTTREASONCODE_BANNED) {
        what = "the broker has banned this client";
        todo = "ask the broker's administrator";
    } else if (r == MQTTREASONCODE_CLIENT_IDENTIFIER_NOT_VALID) {
        what = "the broker refused the client id (tqrf-gateway-NAME)";
        todo = "check the broker's client id rules";
    } else if (r >= MQTTREASONCODE_UNSPECIFIED_ERROR) {
        what = "the broker refused the connection: " + reason_words(r);
        todo = "see the broker's log";
    } else if (!tls_reason(f.tls).empty()) {
        const std::string why = tls_reason(f.tls);
        what = "the TLS handshake failed" + (why.empty() ? std::string() : ": " + why);
        const std::string& cert = f.certificate;
        if (!cert.empty()) what += ": " + cert;
        if (cert.find("mismatch") != std::string::npos) {
            todo = "the broker's certificate is not made out for " + t.host +
                   ": connect by a name or address it names";
        } else if (cert.find("self-signed certificate") != std::string::npos &&
                   cert.find("chain") == std::string::npos) {
            todo =
                "the broker's certificate is self-signed: sign it with a CA and give that CA "
                "in broker.ca_file (--ca-file)";
        } else if (cert.find("expired") != std::string::npos ||
                   cert.find("not yet valid") != std::string::npos) {
            todo =
                "the broker's certificate (or its CA's) is out of its validity period: renew "
                "it, and check this host's clock";
        } else if (why.find("verify failed") != std::string::npos) {
            todo = trust_hint(t);
        } else if (why.find("certificate required") != std::string::npos ||
                   why.find("handshake failure") != std::string::npos) {
            todo = t.cert_file.empty()
                       ? "the broker may want a client certificate: give broker.cert_file and "
                         "broker.key_file (--cert-file, --key-file)"
                       : "the broker may not accept the client certificate " + t.cert_file;
        } else if (why.find("unknown ca") != std::string::npos ||
                   why.find("bad certificate") != std::string::npos) {
            todo = "the broker does not accept the client certificate " + t.cert_file +
                   ": it must be signed by a CA the broker trusts";
        } else if (why.find("wrong version number") != std::string::npos ||
                   why.find("packet length too long") != std::string::npos) {
            todo = "the broker's port may not speak TLS: use mqtt:// or the broker's TLS port";
        } else {
            todo = "check the broker's TLS listener and the certificates given";
        }
    } else if (t.tls && f.reachable) {
        // No word from OpenSSL, yet the port takes connections: the broker ended the handshake.
        // With TLS 1.3 the client's side of it is done before the broker has checked the
        // client's certificate; a broker that wants one (or refuses it) closes the connection.
        what = "the broker closed the connection in the TLS handshake";
        todo = t.cert_file.empty() ? "it may want a client certificate: give broker.cert_file and "
                                     "broker.key_file (--cert-file, --key-file)"
                                   : "it may not accept the client certificate " + t.cert_file +
                                         " (signed by a CA it trusts?)";
    } else {
        what = f.message.empty() ? "no connection" : f.message;
        if (f.code != 0) {
            const char* s = MQTTAsync_strerror(f.code);
            if (s != nullptr && what.find(s) == std::string::npos)
                what += " (" + std::string(s) + ")";
        }
        if (f.message.find("TCP/TLS connect failure") != std::string::npos) {
            what = "nothing answers there (" + f.message + ")";
        }
        todo = "is the broker running and listening there?";
    }
    return "cannot connect to the broker at " + t.url + ": " + what + "; " + todo;
}

std::string describe_refused_publish(const std::string& topic, int reason, const BrokerTarget& t) {
    std::string out = "the broker refused the message on " + topic + ": " + reason_words(reason);
    if (reason == MQTTREASONCODE_NOT_AUTHORIZED) {
        out += " (its ACL does not let " + user_of(t) +
               " write there: the gateway's name must be the prefix the ACL gives the user, see "
               "docs/gateway.md)";
    }
    return out;
}

std::string describe_refused_subscription(const std::string& filter, int reason,
                                          const BrokerTarget& t) {
    std::string out =
        "the broker refused the subscription to " + filter + ": " + reason_words(reason);
    if (reason == MQTTREASONCODE_NOT_AUTHORIZED) {
        out += " (its ACL does not let " + user_of(t) +
               " read the gateway's cmd topics: no requests will arrive)";
    }
    return out;
}

}  // namespace tqrf::gateway
