#include "config.h"

#include <sys/stat.h>
#include <toml++/toml.h>

#include <climits>
#include <cstdlib>
#include <fstream>

namespace tqrf::gateway {

const std::set<std::string>& default_commands() {
    static const std::set<std::string> c{"info", "beep", "read", "read_value", "dump"};
    return c;
}

const std::set<std::string>& known_commands() {
    static const std::set<std::string> c{"info", "beep",  "read",   "read_value",
                                         "dump", "write", "credit", "debit"};
    return c;
}

std::string parse_broker(const std::string& url, Config& c) {
    std::string rest;
    if (url.rfind("mqtt://", 0) == 0) {
        c.tls = false;
        rest = url.substr(7);
    } else if (url.rfind("mqtts://", 0) == 0) {
        c.tls = true;
        rest = url.substr(8);
    } else {
        return "the broker must be mqtt://HOST:PORT or mqtts://HOST:PORT, not \"" + url + "\"";
    }
    const auto colon = rest.rfind(':');
    if (colon == std::string::npos) {
        c.host = rest;
        c.port = c.tls ? 8883 : 1883;
    } else {
        c.host = rest.substr(0, colon);
        char* end = nullptr;
        const long p = std::strtol(rest.c_str() + colon + 1, &end, 10);
        if (end == rest.c_str() + colon + 1 || *end != '\0' || p < 1 || p > 65535) {
            return "the broker's port must be 1 to 65535 in \"" + url + "\"";
        }
        c.port = static_cast<int>(p);
    }
    if (c.host.empty()) return "the broker names no host in \"" + url + "\"";
    return "";
}

std::string read_password(const std::string& path, std::string& password) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return "the password file " + path + " does not open";
    if ((st.st_mode & 077) != 0) {
        return "the password file " + path +
               " may be read or written by others than its owner (chmod 600 it)";
    }
    std::ifstream in(path);
    if (!in || !std::getline(in, password)) {
        return "the password file " + path + " does not read";
    }
    return "";
}

std::vector<std::string> check_tls_files(const Config& c) {
    std::vector<std::string> out;
    const auto readable = [&](const std::string& path, const char* field) {
        if (path.empty()) return;
        std::ifstream in(path);
        if (!in) out.push_back(std::string(field) + ": " + path + " does not open");
    };
    readable(c.ca_file, "ca_file");
    readable(c.cert_file, "cert_file");
    readable(c.key_file, "key_file");
    if (!c.key_file.empty()) {
        struct stat st {};
        if (stat(c.key_file.c_str(), &st) == 0 && (st.st_mode & 007) != 0) {
            out.push_back("key_file: " + c.key_file +
                          " may be read or written by others (chmod 600 or 640 it)");
        }
    }
    if (c.cert_file.empty() != c.key_file.empty()) {
        out.push_back(c.cert_file.empty() ? "key_file: needs cert_file"
                                          : "cert_file: needs key_file");
    }
    if (!c.tls && (!c.ca_file.empty() || !c.cert_file.empty())) {
        out.push_back("ca_file: the TLS files need an mqtts:// broker");
    }
    return out;
}

std::string reader_name(const std::string& port) {
    std::string path = port;
    if (char* real = realpath(port.c_str(), nullptr)) {
        path = real;
        std::free(real);
    } else if (port.rfind("/dev/", 0) != 0) {
        // Not there yet (a reader plugged in later): named after the link itself.
        path = port.substr(port.rfind('/') + 1);
    }
    if (path.rfind("/dev/", 0) == 0) path = path.substr(5);
    for (auto& ch : path) {
        if (ch == '/') ch = '-';
    }
    return path;
}

namespace {

class Checker {
  public:
    Checker(const std::string& file, std::vector<std::string>& errors)
        : file_(file), errors_(errors) {}

    void error(const toml::node* at, const std::string& field, const std::string& what) {
        const auto line = at != nullptr ? at->source().begin.line : 0;
        errors_.push_back(file_ + ":" + std::to_string(line) + ": " + field + ": " + what);
    }

    std::optional<std::string> text(const toml::table& t, const std::string& key,
                                    const std::string& field, bool required) {
        const toml::node* n = t.get(key);
        if (n == nullptr) {
            if (required) error(&t, field, "missing");
            return std::nullopt;
        }
        if (!n->is_string()) {
            error(n, field, "must be a string");
            return std::nullopt;
        }
        return n->value<std::string>();
    }

    std::optional<long long> number(const toml::table& t, const std::string& key,
                                    const std::string& field, long long lo, long long hi) {
        const toml::node* n = t.get(key);
        if (n == nullptr) return std::nullopt;
        if (!n->is_integer() || *n->value<long long>() < lo || *n->value<long long>() > hi) {
            error(
                n, field,
                "must be a whole number from " + std::to_string(lo) + " to " + std::to_string(hi));
            return std::nullopt;
        }
        return n->value<long long>();
    }

    std::vector<std::string> texts(const toml::table& t, const std::string& key,
                                   const std::string& field) {
        std::vector<std::string> out;
        const toml::node* n = t.get(key);
        if (n == nullptr) return out;
        const toml::array* a = n->as_array();
        if (a == nullptr) {
            error(n, field, "must be a list of strings");
            return out;
        }
        for (std::size_t i = 0; i < a->size(); ++i) {
            const toml::node& e = *a->get(i);
            if (!e.is_string()) {
                error(&e, field + "[" + std::to_string(i) + "]", "must be a string");
            } else {
                out.push_back(*e.value<std::string>());
            }
        }
        return out;
    }

    void unknown_keys(const toml::table& t, const std::string& prefix,
                      const std::set<std::string>& known) {
        for (const auto& [k, v] : t) {
            if (known.count(std::string(k.str())) == 0) {
                error(&v, prefix + std::string(k.str()), "unknown field");
            }
        }
    }

  private:
    std::string file_;
    std::vector<std::string>& errors_;
};

}  // namespace

Config load_config(const std::string& path, std::vector<std::string>& errors) {
    Config c;
    toml::table root;
    try {
        root = toml::parse_file(path);
    } catch (const toml::parse_error& e) {
        errors.push_back(path + ":" + std::to_string(e.source().begin.line) + ": " +
                         std::string(e.description()));
        return c;
    }
    Checker k(path, errors);
    k.unknown_keys(root, "", {"gateway", "broker", "keys", "reader", "homeassistant"});

    if (const toml::node* ha = root.get("homeassistant")) {
        if (const toml::table* t = ha->as_table()) {
            k.unknown_keys(*t, "homeassistant.", {"discovery", "prefix"});
            if (const toml::node* d = t->get("discovery")) {
                if (d->is_boolean()) {
                    c.ha_discovery = *d->value<bool>();
                } else {
                    k.error(d, "homeassistant.discovery", "must be true or false");
                }
            }
            if (auto p = k.text(*t, "prefix", "homeassistant.prefix", false)) {
                if (p->empty() || p->find_first_of("+#") != std::string::npos) {
                    k.error(t->get("prefix"), "homeassistant.prefix",
                            "must be non-empty, without + #");
                }
                c.ha_prefix = *p;
            }
        } else {
            k.error(ha, "homeassistant", "must be a table");
        }
    }

    if (const toml::table* g = root["gateway"].as_table()) {
        k.unknown_keys(*g, "gateway.", {"name", "state", "interval_ms", "queue_max"});
        if (auto n = k.text(*g, "name", "gateway.name", true)) {
            if (n->empty() || n->find_first_of("/+#") != std::string::npos) {
                k.error(g->get("name"), "gateway.name", "must be non-empty, without / + #");
            }
            c.name = *n;
        }
        if (auto s = k.text(*g, "state", "gateway.state", false)) c.state_dir = *s;
        if (auto i = k.number(*g, "interval_ms", "gateway.interval_ms", kIntervalMinMs,
                              kIntervalMaxMs)) {
            c.interval_ms = static_cast<int>(*i);
        }
        if (auto q = k.number(*g, "queue_max", "gateway.queue_max", kQueueMin, kQueueMax)) {
            c.queue_max = static_cast<int>(*q);
        }
    } else {
        k.error(&root, "gateway", "missing table [gateway]");
    }

    if (const toml::table* b = root["broker"].as_table()) {
        k.unknown_keys(*b, "broker.",
                       {"url", "ca_file", "cert_file", "key_file", "username", "password_file"});
        if (auto u = k.text(*b, "username", "broker.username", false)) c.username = *u;
        if (auto pf = k.text(*b, "password_file", "broker.password_file", false)) {
            c.password_file = *pf;
            std::string ignored;
            const std::string why = read_password(*pf, ignored);
            if (!why.empty()) k.error(b->get("password_file"), "broker.password_file", why);
            if (c.username.empty()) {
                k.error(b->get("password_file"), "broker.password_file", "needs broker.username");
            }
        }
        if (auto u = k.text(*b, "url", "broker.url", true)) {
            const std::string why = parse_broker(*u, c);
            if (!why.empty()) k.error(b->get("url"), "broker.url", why);
        }
        if (auto ca = k.text(*b, "ca_file", "broker.ca_file", false)) c.ca_file = *ca;
        if (auto cf = k.text(*b, "cert_file", "broker.cert_file", false)) c.cert_file = *cf;
        if (auto kf = k.text(*b, "key_file", "broker.key_file", false)) c.key_file = *kf;
        for (const auto& why : check_tls_files(c)) {
            const std::string field = why.substr(0, why.find(':'));
            k.error(b->get(field), "broker." + field, why.substr(field.size() + 2));
        }
    } else {
        k.error(&root, "broker", "missing table [broker]");
    }

    if (const toml::node* ks = root.get("keys")) {
        if (const toml::table* t = ks->as_table()) {
            for (const auto& [name, node] : *t) {
                const std::string field = "keys." + std::string(name.str());
                const toml::table* set = node.as_table();
                if (set == nullptr) {
                    k.error(&node, field, "must be a table with a and/or b");
                    continue;
                }
                k.unknown_keys(*set, field + ".", {"a", "b"});
                KeySet s;
                for (const char* which : {"a", "b"}) {
                    auto hex = k.text(*set, which, field + "." + which, false);
                    if (!hex) continue;
                    auto key = Key::from_hex(*hex);
                    // The key itself is never repeated in a message.
                    if (!key)
                        k.error(set->get(which), field + "." + which, "must be 12 hex digits");
                    (which[0] == 'a' ? s.a : s.b) = key;
                }
                if (!s.a && !s.b) k.error(&node, field, "names neither key a nor key b");
                c.key_sets[std::string(name.str())] = s;
            }
        } else {
            k.error(ks, "keys", "must be a table of key sets");
        }
    }

    const toml::node* rs = root.get("reader");
    const toml::array* readers = rs != nullptr ? rs->as_array() : nullptr;
    if (rs != nullptr && (readers == nullptr || !readers->is_array_of_tables())) {
        k.error(rs, "reader", "must be [[reader]] tables");
    } else if (readers == nullptr || readers->empty()) {
        k.error(&root, "reader", "no [[reader]] given");
    } else {
        for (std::size_t i = 0; i < readers->size(); ++i) {
            const toml::table& t = *readers->get(i)->as_table();
            const std::string prefix = "reader[" + std::to_string(i) + "].";
            k.unknown_keys(t, prefix, {"port", "name", "allow", "keys"});
            ReaderConfig r;
            if (auto p = k.text(t, "port", prefix + "port", true)) r.port = *p;
            if (auto n = k.text(t, "name", prefix + "name", false)) r.name = *n;
            if (t.get("allow") != nullptr) {
                for (const auto& a : k.texts(t, "allow", prefix + "allow")) {
                    if (known_commands().count(a) == 0) {
                        k.error(t.get("allow"), prefix + "allow", "no command \"" + a + "\"");
                    }
                    r.allow.insert(a);
                }
            } else {
                r.allow = default_commands();
            }
            r.keys = k.texts(t, "keys", prefix + "keys");
            for (const auto& name : r.keys) {
                if (c.key_sets.count(name) == 0) {
                    k.error(t.get("keys"), prefix + "keys", "no key set \"" + name + "\"");
                }
            }
            c.readers.push_back(std::move(r));
        }
    }
    return c;
}

}  // namespace tqrf::gateway
