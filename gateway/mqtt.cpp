#include "mqtt.h"

#include <MQTTAsync.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <thread>

#include "tls_check.h"

namespace tqrf::gateway {

namespace {

MQTTAsync handle(void* c) {
    return static_cast<MQTTAsync>(c);
}

std::string property_text(MQTTProperties* props, MQTTPropertyCodes code) {
    MQTTProperty* p = MQTTProperties_getProperty(props, code);
    if (p == nullptr) return "";
    return std::string(p->value.data.data, static_cast<std::size_t>(p->value.data.len));
}

// At most this many messages are followed for the broker's refusal by topic (the rest are
// still reported, without their topic).
constexpr std::size_t kFollowed = 4096;

std::string seconds(std::chrono::milliseconds d) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(d.count()) / 1000.0);
    return text;
}

}  // namespace

Mqtt::Mqtt(Options o) : o_(std::move(o)) {
    MQTTAsync_createOptions co = MQTTAsync_createOptions_initializer;
    co.MQTTVersion = MQTTVERSION_5;
    co.sendWhileDisconnected = 1;
    co.allowDisconnectedSendAtAnyTime = 1;
    co.maxBufferedMessages = o_.queue_max;
    co.deleteOldestMessages = 1;
    co.restoreMessages = 1;
    co.persistQoS0 = 0;
    MQTTAsync c = nullptr;
    const int rc = MQTTAsync_createWithOptions(&c, o_.uri.c_str(), o_.client_id.c_str(),
                                               MQTTCLIENT_PERSISTENCE_DEFAULT,
                                               const_cast<char*>(o_.persistence_dir.c_str()), &co);
    if (rc != MQTTASYNC_SUCCESS) {
        throw std::runtime_error("the MQTT client cannot be made (" +
                                 std::string(MQTTAsync_strerror(rc)) + "), with its queue in " +
                                 o_.persistence_dir);
    }
    client_ = c;
    for (const auto& f : o_.subscriptions) subscriptions_.push_back({this, f});
    MQTTAsync_setCallbacks(
        c, this, &Mqtt::lost,
        [](void* ctx, char* topic, int len, MQTTAsync_message* m) {
            return arrived(ctx, topic, len, m);
        },
        [](void* ctx, MQTTAsync_token token) { delivered(ctx, token); });
}

Mqtt::~Mqtt() {
    if (client_ != nullptr) {
        MQTTAsync c = handle(client_);
        MQTTAsync_destroy(&c);
    }
}

int Mqtt::arrived(void* ctx, char* topic, int len, void* msg) {
    auto* self = static_cast<Mqtt*>(ctx);
    auto* m = static_cast<MQTTAsync_message*>(msg);
    Incoming in;
    in.topic = len > 0 ? std::string(topic, static_cast<std::size_t>(len)) : std::string(topic);
    in.payload.assign(static_cast<const char*>(m->payload),
                      static_cast<std::size_t>(m->payloadlen));
    in.response_topic = property_text(&m->properties, MQTTPROPERTY_CODE_RESPONSE_TOPIC);
    in.correlation_data = property_text(&m->properties, MQTTPROPERTY_CODE_CORRELATION_DATA);
    MQTTAsync_freeMessage(&m);
    MQTTAsync_free(topic);
    if (self->on_message) self->on_message(std::move(in));
    return 1;
}

void Mqtt::delivered(void* ctx, int token) {
    auto* self = static_cast<Mqtt*>(ctx);
    std::lock_guard<std::mutex> lock(self->delivered_mutex_);
    // Only what is acknowledged while a publish counts matters; the set is emptied at each one.
    if (self->delivered_.size() < 65536) self->delivered_.insert(token);
}

void Mqtt::lost(void* ctx, char*) {
    auto* self = static_cast<Mqtt*>(ctx);
    self->connected_ = false;
    if (self->on_lost) self->on_lost();
    self->schedule_retry();
}

void Mqtt::connect_ok(void* ctx, void*) {
    auto* self = static_cast<Mqtt*>(ctx);
    {
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->backoff_ = std::chrono::milliseconds(500);
        self->failures_ = 0;
    }
    self->connected_ = true;
    self->connecting_ = false;
    self->just_connected_ = true;  // tick() subscribes, outside Paho's callback
}

void Mqtt::connect_failed(void* ctx, const ConnectFailure& failure) {
    auto* self = static_cast<Mqtt*>(ctx);
    ConnectFailure f = failure;
    int attempt = 0;
    {
        std::lock_guard<std::mutex> lock(self->mutex_);
        f.tls = self->tls_errors_;
        attempt = ++self->failures_;
    }
    // What OpenSSL and Paho do not say is looked into (bounded waits, on Paho's thread while
    // no connection is up).
    const auto& t = self->o_.target;
    const std::string tls = tls_reason(f.tls);
    if (tls.find("verify failed") != std::string::npos) {
        f.certificate =
            certificate_problem(t.host, t.port, self->o_.ca_file, std::chrono::seconds(3));
    } else if (t.tls && tls.empty() && f.reason == 0 && f.code <= 0) {
        f.reachable = takes_connections(t.host, t.port, std::chrono::seconds(3));
    }
    const auto wait = self->schedule_retry();
    self->problem(describe_connect_failure(f, self->o_.target) + " (attempt " +
                  std::to_string(attempt) + "; the next in " + seconds(wait) + ")");
    self->connecting_ = false;
}

// Paho hands OpenSSL's error lines of a failed handshake here.
int Mqtt::tls_error(const char* text, std::size_t len, void* ctx) {
    auto* self = static_cast<Mqtt*>(ctx);
    std::lock_guard<std::mutex> lock(self->mutex_);
    if (self->tls_errors_.size() < 4096) self->tls_errors_.append(text, len).append("\n");
    return 0;
}

std::chrono::milliseconds Mqtt::schedule_retry() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::uniform_real_distribution<double> jitter(0.5, 1.5);
    const auto wait = std::chrono::milliseconds(
        static_cast<long long>(static_cast<double>(backoff_.count()) * jitter(rng_)));
    next_ = std::chrono::steady_clock::now() + wait;
    backoff_ = std::min(backoff_ * 2, std::chrono::milliseconds(15000));
    return wait;
}

void Mqtt::answered(int token, int reason) {
    std::string on;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = topics_.find(token);
        if (it == topics_.end()) {
            // Answered before publish() noted the message: publish() says it with its topic.
            // (Or not followed: too many at once.)
            if (early_.size() >= kFollowed) early_.clear();
            early_[token] = reason;
            return;
        }
        on = std::move(it->second);
        topics_.erase(it);
    }
    if (reason >= MQTTREASONCODE_UNSPECIFIED_ERROR) {
        problem(describe_refused_publish(on, reason, o_.target));
    }
}

void Mqtt::tick() {
    if (just_connected_.exchange(false)) {
        for (auto& sub : subscriptions_) {
            MQTTAsync_responseOptions ro = MQTTAsync_responseOptions_initializer;
            ro.context = &sub;
            // The broker's refusal (its ACL) comes as a reason code of 0x80 or more.
            ro.onSuccess5 = [](void* ctx, MQTTAsync_successData5* d) {
                auto* s = static_cast<Mqtt::Subscription*>(ctx);
                if (d != nullptr && d->reasonCode >= MQTTREASONCODE_UNSPECIFIED_ERROR) {
                    s->self->problem(describe_refused_subscription(s->filter, d->reasonCode,
                                                                   s->self->o_.target));
                }
            };
            ro.onFailure5 = [](void* ctx, MQTTAsync_failureData5* d) {
                auto* s = static_cast<Mqtt::Subscription*>(ctx);
                s->self->problem(describe_refused_subscription(
                    s->filter, d != nullptr ? d->reasonCode : 0, s->self->o_.target));
            };
            // QoS 0: a request sent while the gateway was away is not kept for it by the
            // broker and carried out late (a debit an hour after it was asked for).
            (void)MQTTAsync_subscribe(handle(client_), sub.filter.c_str(), 0, &ro);
        }
        if (on_connected) on_connected();
    }
    if (connected_) {
        // The state messages due, while the queue has room for them: a full queue would drop
        // its oldest event to take one (Paho counts every publish against maxBufferedMessages).
        for (;;) {
            std::string topic, payload;
            {
                std::lock_guard<std::mutex> lock(state_mutex_);
                if (states_.empty() || pending() >= o_.queue_max) break;
                topic = states_.begin()->first;
                payload = std::move(states_.begin()->second);
                states_.erase(states_.begin());
            }
            (void)publish(topic, payload, true);
        }
    }
    if (connected_ || connecting_) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (std::chrono::steady_clock::now() < next_) return;
    }
    MQTTAsync_connectOptions co = MQTTAsync_connectOptions_initializer5;
    co.keepAliveInterval = 20;
    co.cleanstart = 0;
    co.connectTimeout = 5;
    co.automaticReconnect = 0;
    co.context = this;
    co.onSuccess5 = [](void* ctx, MQTTAsync_successData5*) { connect_ok(ctx, nullptr); };
    co.onFailure5 = [](void* ctx, MQTTAsync_failureData5* d) {
        ConnectFailure f;
        if (d != nullptr) {
            f.code = d->code;
            f.reason = d->reasonCode;
            if (d->message != nullptr) f.message = d->message;
        }
        connect_failed(ctx, f);
    };
    MQTTProperties props = MQTTProperties_initializer;
    MQTTProperty expiry;
    expiry.identifier = MQTTPROPERTY_CODE_SESSION_EXPIRY_INTERVAL;
    expiry.value.integer4 = 3600;
    MQTTProperties_add(&props, &expiry);
    // The broker sends nothing larger (a request is at most 4096 bytes: request.h); what is
    // larger is dropped by the broker, not read into memory here.
    MQTTProperty largest;
    largest.identifier = MQTTPROPERTY_CODE_MAXIMUM_PACKET_SIZE;
    largest.value.integer4 = 65536;
    MQTTProperties_add(&props, &largest);
    co.connectProperties = &props;
    MQTTAsync_willOptions will = MQTTAsync_willOptions_initializer;
    will.topicName = o_.will_topic.c_str();
    will.message = nullptr;
    will.payload.data = o_.will_payload.data();
    will.payload.len = static_cast<int>(o_.will_payload.size());
    will.retained = 1;
    will.qos = 1;
    co.will = &will;
    if (!o_.username.empty()) {
        co.username = o_.username.c_str();
        co.password = o_.password.c_str();
    }
    MQTTAsync_SSLOptions ssl = MQTTAsync_SSLOptions_initializer;
    if (o_.uri.rfind("ssl://", 0) == 0) {
        // The server's certificate is verified, and its name or address checked, always:
        // against the CA file given, else the system's trusted CAs.
        ssl.enableServerCertAuth = 1;
        ssl.verify = 1;
        if (!o_.ca_file.empty()) ssl.trustStore = o_.ca_file.c_str();
        if (!o_.cert_file.empty()) ssl.keyStore = o_.cert_file.c_str();
        if (!o_.key_file.empty()) ssl.privateKey = o_.key_file.c_str();
        ssl.ssl_error_cb = &Mqtt::tls_error;
        ssl.ssl_error_context = this;
        co.ssl = &ssl;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        tls_errors_.clear();
    }
    connecting_ = true;
    const int rc = MQTTAsync_connect(handle(client_), &co);
    MQTTProperties_free(&props);
    if (rc != MQTTASYNC_SUCCESS) {
        connecting_ = false;
        ConnectFailure f;
        f.code = rc;
        f.message = MQTTAsync_strerror(rc);
        connect_failed(this, f);
    }
}

void Mqtt::publish_state(const std::string& topic, const std::string& payload) {
    std::lock_guard<std::mutex> lock(state_mutex_);
    states_[topic] = payload;
}

bool Mqtt::publish_now(const std::string& topic, const std::string& payload) {
    if (!connected_ || pending() >= o_.queue_max) return false;
    return publish(topic, payload, false, 0);
}

std::vector<int> Mqtt::pending_tokens() const {
    std::vector<int> out;
    MQTTAsync_token* tokens = nullptr;
    if (MQTTAsync_getPendingTokens(handle(client_), &tokens) != MQTTASYNC_SUCCESS) return out;
    if (tokens != nullptr) {
        for (int i = 0; tokens[i] != -1; ++i) out.push_back(tokens[i]);
        MQTTAsync_free(tokens);
    }
    std::sort(out.begin(), out.end());
    return out;
}

bool Mqtt::publish(const std::string& topic, const std::string& payload, bool retained, int qos,
                   const std::string& correlation) {
    // Paho drops the oldest queued message inside MQTTAsync_sendMessage when its queue is full,
    // and says nothing: what was pending before and is neither pending after nor acknowledged
    // meanwhile (Paho removes an acknowledged message and tells it under one lock) was dropped.
    std::lock_guard<std::mutex> one_at_a_time(publish_mutex_);
    {
        std::lock_guard<std::mutex> lock(delivered_mutex_);
        delivered_.clear();
    }
    const std::vector<int> before = pending_tokens();
    MQTTAsync_message m = MQTTAsync_message_initializer;
    m.payload = const_cast<char*>(payload.data());
    m.payloadlen = static_cast<int>(payload.size());
    m.qos = qos;
    m.retained = retained ? 1 : 0;
    MQTTProperty cd;
    if (!correlation.empty()) {
        cd.identifier = MQTTPROPERTY_CODE_CORRELATION_DATA;
        cd.value.data.data = const_cast<char*>(correlation.data());
        cd.value.data.len = static_cast<int>(correlation.size());
        MQTTProperties_add(&m.properties, &cd);
    }
    MQTTAsync_responseOptions ro = MQTTAsync_responseOptions_initializer;
    ro.context = this;
    // The broker's answer, whether Paho takes it as a success or a failure; the message's
    // topic is forgotten either way. A PUBACK with a reason code of 0x80 or more (the broker's
    // ACL refused the topic) is said. A failure without one: the client was ended with the
    // message still queued, and it stays on disk.
    const auto answered = [](void* ctx, auto* d) {
        if (d != nullptr) static_cast<Mqtt*>(ctx)->answered(d->token, d->reasonCode);
    };
    ro.onSuccess5 = answered;
    ro.onFailure5 = answered;
    const int rc = MQTTAsync_sendMessage(handle(client_), topic.c_str(), &m, &ro);
    MQTTProperties_free(&m.properties);
    const std::vector<int> after = pending_tokens();
    int dropped = 0;
    {
        std::lock_guard<std::mutex> lock(delivered_mutex_);
        for (int t : before) {
            if (!std::binary_search(after.begin(), after.end(), t) && delivered_.count(t) == 0) {
                ++dropped;
            }
        }
    }
    if (dropped > 0 && on_dropped) on_dropped(dropped);
    if (rc == MQTTASYNC_SUCCESS) {
        int early = -1;  // the broker's answer when it came before this line was reached
        {
            std::lock_guard<std::mutex> follow(mutex_);
            const auto it = early_.find(ro.token);
            if (it != early_.end()) {
                early = it->second;
                early_.erase(it);
            } else if (topics_.size() < kFollowed) {
                topics_[ro.token] = topic;
            }
        }
        if (early >= MQTTREASONCODE_UNSPECIFIED_ERROR) {
            problem(describe_refused_publish(topic, early, o_.target));
        }
    }
    return rc == MQTTASYNC_SUCCESS;
}

int Mqtt::pending() const {
    MQTTAsync_token* tokens = nullptr;
    if (MQTTAsync_getPendingTokens(handle(client_), &tokens) != MQTTASYNC_SUCCESS) return 0;
    int n = 0;
    if (tokens != nullptr) {
        while (tokens[n] != -1) ++n;
        MQTTAsync_free(tokens);
    }
    return n;
}

void Mqtt::close(const std::string& last_payload, std::chrono::milliseconds wait) {
    if (connected_) {
        publish(o_.will_topic, last_payload, true);
        const auto until = std::chrono::steady_clock::now() + wait;
        while (pending() > 0 && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        MQTTAsync_disconnectOptions d = MQTTAsync_disconnectOptions_initializer;
        d.timeout = 1000;
        (void)MQTTAsync_disconnect(handle(client_), &d);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

}  // namespace tqrf::gateway
