#pragma once
// A small load generator on non-blocking sockets and epoll, kept light so that the machine's
// cores go to the server under test rather than to the clients. One exchange = connect from a
// chosen source address, write the request, read the answer, hang up.
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_set>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

struct Exchange {
    std::string request;
    uint32_t source = 0;    // IPv4 source address in host order (0 = any)
    bool httpReply = false; // read until the server hangs up instead of a framed chat reply
    int id = 0;             // the caller's own tag
};

struct Outcome {
    int id = 0;
    bool ok = false;   // an answer arrived (framed chat reply, or an HTTP status line)
    std::string reply; // chat: payload without the prefix; HTTP: all received bytes
    double latencyUs = 0;
    int error = 0; // errno of a failed connect/read, 0 otherwise
    // Where the time went: when the exchange began, and how long after that connect() returned,
    // the whole request was written and the answer's first bytes arrived (0: not reached).
    Clock::time_point started;
    double connectedUs = 0, sentUs = 0, firstByteUs = 0;
};

// The exchanges of a run slower than `overMs`, and where their time went: a server that stalls now
// and then shows bursts of them that waited for the answer's first byte, one slow throughout a
// steady trickle.
struct SlowSummary {
    std::size_t count = 0;
    int bursts = 0; // runs of slow exchanges that began within 50 ms of each other
    // Medians over the slow exchanges: to connect, then to write the request, then to the
    // answer's first byte.
    double connectMs = 0, sendMs = 0, answerMs = 0;
};
SlowSummary summarizeSlow(const std::vector<Outcome>& outcomes, double overMs);

class LoadGen {
public:
    LoadGen(uint32_t serverAddress, uint16_t serverPort);
    ~LoadGen();
    LoadGen(const LoadGen&) = delete;
    LoadGen& operator=(const LoadGen&) = delete;

    // Keeps `inFlight` exchanges going until `next` returns false or `until` passes; `done` sees
    // every outcome.
    void closedLoop(int inFlight, const std::function<bool(Exchange&)>& next,
                    const std::function<void(const Outcome&)>& done, Clock::time_point until);
    // Starts exchanges at a fixed rate (per second) for `seconds`, whatever is still in flight.
    struct OpenLimits {
        int maxInFlight = 0;       // beyond it an exchange is not started but counted failed (EBUSY)
        double timeoutSeconds = 0; // an exchange older than this fails with ETIMEDOUT (0 = never)
        bool drain = true;         // wait for what is in flight at the end (else abandon() it)
    };
    void openLoop(double rate, double seconds, const std::function<bool(Exchange&)>& next,
                  const std::function<void(const Outcome&)>& done, const OpenLimits& limits);
    void openLoop(double rate, double seconds, const std::function<bool(Exchange&)>& next,
                  const std::function<void(const Outcome&)>& done) {
        openLoop(rate, seconds, next, done, OpenLimits{});
    }
    // Hangs up on everything in flight, as clients that gave up do; returns how many.
    int abandon();
    // Holds `count` connections open from `source`, sending `bytes` (possibly nothing), until the
    // server closes them or `maxSeconds` pass; one outcome per connection the server closed, its
    // latency being how long the server kept it.
    std::vector<Outcome> holdConnections(int count, uint32_t source, const std::string& bytes, double maxSeconds);

private:
    struct Conn;
    bool start(const Exchange& exchange);
    void poll(int timeoutMs, const std::function<void(const Outcome&)>& done);
    void finish(Conn* conn, bool ok, int error, const std::function<void(const Outcome&)>& done);
    void expire(double timeoutSeconds, const std::function<void(const Outcome&)>& done);

    int m_epoll = -1;
    uint32_t m_server;
    uint16_t m_port;
    int m_inFlight = 0;
    std::unordered_set<Conn*> m_open;
};

// Percentile of sorted values (0..100).
double percentile(std::vector<double>& values, double p);

uint32_t ipv4(const char* dotted);

} // namespace bench
