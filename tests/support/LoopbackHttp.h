#pragma once
// A small HTTP/1.1 server on 127.0.0.1 for tests that need a real peer: a time-stamp
// authority, an OCSP responder, a CRL host, or a misbehaving server. It answers one
// connection at a time on a thread of its own, each exchange with `Connection: close`, and
// stops (the thread joined) when destroyed. Every wait is bounded: a client that sends nothing
// is dropped after two seconds.

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace penwell::test {

struct HttpExchange {
    std::string method;  ///< "GET", "POST"
    std::string target;  ///< the path and query as sent
    std::string contentType;
    std::string head;  ///< the request line and headers as they came
    std::string body;
};

struct HttpAnswer {
    HttpAnswer() = default;
    HttpAnswer(int status, std::string contentType, std::string body,
               std::vector<std::string> headers = {})
        : status(status),
          contentType(std::move(contentType)),
          body(std::move(body)),
          headers(std::move(headers)) {}
    /// Exactly `bytes` on the wire, whatever they are.
    static HttpAnswer rawBytes(std::string bytes) {
        HttpAnswer a;
        a.raw = std::move(bytes);
        return a;
    }

    int status = 200;
    std::string contentType = "application/octet-stream";
    std::string body;
    /// More header lines, "Name: value" each ("Location: ...").
    std::vector<std::string> headers;
    /// Sent in place of everything above when not empty: a broken or endless answer.
    std::string raw;
};

class LoopbackHttp {
public:
    using Handler = std::function<HttpAnswer(const HttpExchange&)>;

    /// Listens on an ephemeral port of 127.0.0.1; throws when it cannot.
    explicit LoopbackHttp(Handler handler);
    ~LoopbackHttp();
    LoopbackHttp(const LoopbackHttp&) = delete;
    LoopbackHttp& operator=(const LoopbackHttp&) = delete;

    int port() const { return port_; }
    /// "http://127.0.0.1:PORT" followed by `path`.
    std::string url(const std::string& path = "/") const;
    /// How many exchanges were answered.
    int served() const { return served_.load(); }

private:
    void serve();
    void answer(int client);

    Handler handler_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> served_{0};
    std::thread thread_;
};

}  // namespace penwell::test
