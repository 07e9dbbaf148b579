#include "support/LoopbackHttp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <stdexcept>

namespace penwell::test {

namespace {

constexpr std::size_t kMaxRequestBytes = 1u << 20;

std::string lower(std::string s) {
    for (char& c : s) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

/// The value of header `name` in the header block `head`, empty when absent.
std::string header(const std::string& head, const std::string& name) {
    const std::string lowered = lower(head);
    const std::size_t at = lowered.find("\r\n" + lower(name) + ":");
    if (at == std::string::npos) {
        return {};
    }
    std::size_t start = at + 3 + name.size();
    const std::size_t end = head.find("\r\n", start);
    while (start < end && head[start] == ' ') {
        ++start;
    }
    return head.substr(start, end - start);
}

void sendAll(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return;  // the client left: nothing to tell it
        }
        sent += static_cast<std::size_t>(n);
    }
}

const char* reasonOf(int status) {
    switch (status) {
        case 200: return "OK";
        case 301: return "Moved Permanently";
        case 302: return "Found";
        case 303: return "See Other";
        case 307: return "Temporary Redirect";
        case 404: return "Not Found";
        case 500: return "Internal Server Error";
        default: return "Status";
    }
}

}  // namespace

LoopbackHttp::LoopbackHttp(Handler handler) : handler_(std::move(handler)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (listener_ >= 0) {
            ::close(listener_);
        }
        throw std::runtime_error(std::string("cannot listen on 127.0.0.1: ") +
                                 std::strerror(errno));
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
}

LoopbackHttp::~LoopbackHttp() {
    stopping_ = true;
    thread_.join();
    ::close(listener_);
}

std::string LoopbackHttp::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void LoopbackHttp::serve() {
    while (!stopping_) {
        pollfd waiting{listener_, POLLIN, 0};
        if (::poll(&waiting, 1, 50) <= 0) {
            continue;
        }
        const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            continue;
        }
        timeval limit{2, 0};
        ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ::setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        answer(client);
        ::close(client);
    }
}

void LoopbackHttp::answer(int client) {
    std::string in;
    std::size_t headEnd = std::string::npos;
    char buffer[8192];
    while ((headEnd = in.find("\r\n\r\n")) == std::string::npos) {
        const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
        if (n <= 0 || in.size() > kMaxRequestBytes) {
            return;
        }
        in.append(buffer, static_cast<std::size_t>(n));
    }
    const std::string head = in.substr(0, headEnd + 2);
    const std::size_t length = std::strtoul(header(head, "Content-Length").c_str(), nullptr, 10);
    if (length > kMaxRequestBytes) {
        return;
    }
    while (in.size() < headEnd + 4 + length) {
        const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
        if (n <= 0) {
            return;
        }
        in.append(buffer, static_cast<std::size_t>(n));
    }
    HttpExchange exchange;
    const std::size_t space = head.find(' ');
    exchange.method = head.substr(0, space);
    exchange.target = head.substr(space + 1, head.find(' ', space + 1) - space - 1);
    exchange.contentType = header(head, "Content-Type");
    exchange.head = head;
    exchange.body = in.substr(headEnd + 4, length);
    const HttpAnswer a = handler_(exchange);
    ++served_;
    if (!a.raw.empty()) {
        sendAll(client, a.raw);
        return;
    }
    std::string out = "HTTP/1.1 " + std::to_string(a.status) + " " + reasonOf(a.status) +
                      "\r\nContent-Type: " + a.contentType +
                      "\r\nContent-Length: " + std::to_string(a.body.size()) +
                      "\r\nConnection: close\r\n";
    for (const std::string& line : a.headers) {
        out += line + "\r\n";
    }
    sendAll(client, out + "\r\n" + a.body);
}

}  // namespace penwell::test
