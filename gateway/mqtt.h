// The gateway's MQTT client: Paho's MQTTAsync over MQTT 5, with its file persistence in the
// state folder. Messages published while the broker is unreachable are kept on disk in order
// (at most `queue_max`, the oldest dropped first) and sent once it is back, also after the
// gateway was stopped and started again. Reconnection is driven by tick(): back-off from half a
// second doubling to 15 s, each wait drawn from 50 % to 150 % of it.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "broker_errors.h"

namespace tqrf::gateway {

struct Incoming {
    std::string topic;
    std::string payload;
    std::string response_topic;    // MQTT 5; empty when the request had none
    std::string correlation_data;  // MQTT 5
};

class Mqtt {
  public:
    struct Options {
        std::string uri;        // tcp://HOST:PORT or ssl://HOST:PORT
        std::string ca_file;    // empty: the system's trusted CAs (the server is always verified)
        std::string cert_file;  // the client's certificate (PEM), or empty
        std::string key_file;   // its private key (PEM), or empty
        std::string client_id;
        std::string username;  // empty: none
        std::string password;
        std::string persistence_dir;
        int queue_max = 10000;
        std::string will_topic;
        std::string will_payload;
        std::vector<std::string> subscriptions;  // QoS 0, made again on every connect
        BrokerTarget target;                     // for the messages
    };

    // Throws std::runtime_error when the client cannot be made (a bad persistence folder).
    explicit Mqtt(Options o);
    ~Mqtt();
    Mqtt(const Mqtt&) = delete;
    Mqtt& operator=(const Mqtt&) = delete;

    // Called on Paho's thread for each message of the subscriptions.
    std::function<void(Incoming)> on_message;
    // Called on Paho's thread when the connection to the broker breaks.
    std::function<void()> on_lost;
    // Called by tick() after each connect (the subscriptions are made).
    std::function<void()> on_connected;
    // Called from publish() with the number of queued messages the full queue dropped to take
    // the new one (the oldest first).
    std::function<void(int)> on_dropped;
    // A line for the log: a failed connect and the wait before the next one, a message or a
    // subscription the broker refused. Called on Paho's thread or from tick().
    std::function<void(const std::string&)> on_problem;

    // QoS 1 unless `qos` says otherwise. Kept when the broker is unreachable. False when Paho
    // refused it (the queue is full is not a refusal: the oldest is dropped then, see dropped()).
    bool publish(const std::string& topic, const std::string& payload, bool retained = false,
                 int qos = 1, const std::string& correlation = "");

    // A retained state message (a status): only its latest payload per topic is kept, outside
    // the queue, and published by tick() while connected and the queue has room, so that it
    // never pushes a queued event out. Sent again after every reconnect by the caller.
    void publish_state(const std::string& topic, const std::string& payload);

    // QoS 0, now or never: only while connected and the queue has room (a scan that happened
    // while the broker was away is not replayed). False when not sent.
    bool publish_now(const std::string& topic, const std::string& payload);

    // Connects when it is time to (call it often); publishes the state messages due.
    void tick();
    bool connected() const { return connected_; }
    // Messages not yet acknowledged by the broker.
    int pending() const;
    // Publishes `payload` on the will topic, retained, and disconnects (bounded wait).
    void close(const std::string& last_payload, std::chrono::milliseconds wait);

    // A subscription's filter, for the message on its refusal.
    struct Subscription {
        Mqtt* self;
        std::string filter;
    };

  private:
    static int arrived(void* ctx, char* topic, int len, void* msg);
    static void lost(void* ctx, char* cause);
    static void connect_ok(void* ctx, void* response);
    static void connect_failed(void* ctx, const ConnectFailure& f);
    static int tls_error(const char* text, std::size_t len, void* ctx);

    // The wait before the next connect.
    std::chrono::milliseconds schedule_retry();
    void problem(const std::string& line) const {
        if (on_problem) on_problem(line);
    }
    // The broker's answer to a publish (its reason code): a refusal is said with the topic.
    void answered(int token, int reason);
    std::vector<int> pending_tokens() const;
    static void delivered(void* ctx, int token);

    std::mutex publish_mutex_;  // one publish at a time: the queue's drops are told apart
    std::mutex delivered_mutex_;
    std::set<int> delivered_;  // tokens acknowledged while a publish is counting
    std::mutex state_mutex_;
    std::map<std::string, std::string> states_;  // state messages due, by topic

    Options o_;
    void* client_ = nullptr;
    std::atomic<bool> connected_{false};
    std::atomic<bool> connecting_{false};
    std::atomic<bool> just_connected_{false};
    std::mutex mutex_;  // next_, backoff_, tls_errors_, topics_
    std::chrono::steady_clock::time_point next_{};
    std::chrono::milliseconds backoff_{500};
    int failures_ = 0;                             // connects failed in a row
    std::string tls_errors_;                       // OpenSSL's lines of the connect under way
    std::unordered_map<int, std::string> topics_;  // token -> topic, of messages not acknowledged
    std::unordered_map<int, int> early_;  // token -> reason, answered before publish() noted them
    std::vector<Subscription> subscriptions_;
    std::mt19937 rng_{std::random_device{}()};
};

}  // namespace tqrf::gateway
