#include "mqtt.h"

#include <MQTTAsync.h>

#include <algorithm>
#include <stdexcept>
#include <thread>

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
    }
    self->connected_ = true;
    self->connecting_ = false;
    self->just_connected_ = true;  // tick() subscribes, outside Paho's callback
}

void Mqtt::connect_failed(void* ctx, void*) {
    auto* self = static_cast<Mqtt*>(ctx);
    self->schedule_retry();
    self->connecting_ = false;
}

void Mqtt::schedule_retry() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::uniform_real_distribution<double> jitter(0.5, 1.5);
    const auto wait = std::chrono::milliseconds(
        static_cast<long long>(static_cast<double>(backoff_.count()) * jitter(rng_)));
    next_ = std::chrono::steady_clock::now() + wait;
    backoff_ = std::min(backoff_ * 2, std::chrono::milliseconds(15000));
}

void Mqtt::tick() {
    if (just_connected_.exchange(false)) {
        for (const auto& t : o_.subscriptions) {
            MQTTAsync_responseOptions ro = MQTTAsync_responseOptions_initializer;
            // QoS 0: a request sent while the gateway was away is not kept for it by the
            // broker and carried out late (a debit an hour after it was asked for).
            (void)MQTTAsync_subscribe(handle(client_), t.c_str(), 0, &ro);
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
    co.onFailure5 = [](void* ctx, MQTTAsync_failureData5*) { connect_failed(ctx, nullptr); };
    MQTTProperties props = MQTTProperties_initializer;
    MQTTProperty expiry;
    expiry.identifier = MQTTPROPERTY_CODE_SESSION_EXPIRY_INTERVAL;
    expiry.value.integer4 = 3600;
    MQTTProperties_add(&props, &expiry);
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
        ssl.enableServerCertAuth = 1;
        ssl.verify = 1;
        if (!o_.ca_file.empty()) ssl.trustStore = o_.ca_file.c_str();
        co.ssl = &ssl;
    }
    connecting_ = true;
    const int rc = MQTTAsync_connect(handle(client_), &co);
    MQTTProperties_free(&props);
    if (rc != MQTTASYNC_SUCCESS) {
        connecting_ = false;
        schedule_retry();
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
