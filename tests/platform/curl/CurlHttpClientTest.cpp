// The libcurl client against a real server on loopback: what arrives there, what comes back,
// and every way an exchange is refused, each failure one line that starts with the URL.

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <thread>

#include "penwell/platform/curl/CurlHttpClient.h"
#include "support/LoopbackHttp.h"

namespace penwell::curl {
namespace {

using test::HttpAnswer;
using test::HttpExchange;
using test::LoopbackHttp;

std::string text(const Bytes& bytes) {
    return {bytes.begin(), bytes.end()};
}

/// The proxy variables unset for the test's lifetime, whatever the machine has, and restored.
class NoProxy {
public:
    NoProxy() {
        for (const char* name : kNames) {
            const char* value = std::getenv(name);
            saved_.push_back(value ? std::optional<std::string>(value) : std::nullopt);
            ::unsetenv(name);
        }
    }
    ~NoProxy() {
        for (std::size_t i = 0; i < std::size(kNames); ++i) {
            if (saved_[i]) {
                ::setenv(kNames[i], saved_[i]->c_str(), 1);
            } else {
                ::unsetenv(kNames[i]);
            }
        }
    }

private:
    static constexpr const char* kNames[] = {"http_proxy", "https_proxy", "HTTPS_PROXY",
                                             "all_proxy",  "ALL_PROXY",   "no_proxy",
                                             "NO_PROXY"};
    std::vector<std::optional<std::string>> saved_;
};

class CurlHttpClientTest : public ::testing::Test {
protected:
    NoProxy noProxy_;
};

TEST_F(CurlHttpClientTest, PostDeliversBodyAndTypeAndAnswersStatusTypeAndBytes) {
    HttpExchange seen;
    LoopbackHttp server([&](const HttpExchange& e) {
        seen = e;
        return HttpAnswer{201, "application/timestamp-reply", std::string("\x30\x00\xff", 3)};
    });
    const std::string query("\x30\x82\x00\x00", 4);
    Result<HttpResponse> r =
        CurlHttpClient().post(server.url("/tsa"), "application/timestamp-query", asBytes(query));
    ASSERT_TRUE(r) << r.error().message;
    EXPECT_EQ(seen.method, "POST");
    EXPECT_EQ(seen.target, "/tsa");
    EXPECT_EQ(seen.contentType, "application/timestamp-query");
    EXPECT_EQ(seen.body, query);
    EXPECT_EQ(r->status, 201);
    EXPECT_EQ(r->contentType, "application/timestamp-reply");
    EXPECT_EQ(text(r->body), std::string("\x30\x00\xff", 3));
}

TEST_F(CurlHttpClientTest, ExtraHeadersArriveAndOnesThatWouldSplitTheRequestAreRefused) {
    int served = 0;
    HttpExchange seen;
    LoopbackHttp server([&](const HttpExchange& e) {
        ++served;
        seen = e;
        return HttpAnswer{204, "text/plain", ""};
    });
    const std::string url = server.url("/hook");
    Result<HttpResponse> r = CurlHttpClient().post(
        url, "application/json", asBytes("{}"), {{"Penwell-Signature", "t=1,v1=ab"}});
    ASSERT_TRUE(r) << r.error().message;
    EXPECT_EQ(r->status, 204);
    EXPECT_NE(seen.head.find("\r\nPenwell-Signature: t=1,v1=ab\r\n"), std::string::npos)
        << seen.head;

    // Each would end the header early and smuggle the rest in as another header or request.
    const HttpHeaders refused[] = {{{"X-A", "one\r\nX-Injected: yes"}},
                                   {{"X-A", "one\nX-Injected: yes"}},
                                   {{"X-A", std::string("one\0two", 7)}},
                                   {{"X A", "spaced name"}},
                                   {{"X-A:", "colon in the name"}},
                                   {{"", "no name"}}};
    for (const HttpHeaders& headers : refused) {
        Result<HttpResponse> bad =
            CurlHttpClient().post(url, "application/json", asBytes("{}"), headers);
        ASSERT_FALSE(bad) << headers[0].first;
        EXPECT_EQ(bad.error().code, static_cast<std::int64_t>(HttpErrorKind::BadHeader));
        EXPECT_EQ(bad.error().message.rfind(url, 0), 0u) << bad.error().message;
    }
    EXPECT_EQ(served, 1) << "nothing refused reached the server";
}

TEST_F(CurlHttpClientTest, ErrorStatusIsAnAnswerForTheCallerToJudge) {
    LoopbackHttp server([](const HttpExchange&) { return HttpAnswer{500, "text/plain", "down"}; });
    Result<HttpResponse> r = CurlHttpClient().get(server.url("/crl"));
    ASSERT_TRUE(r) << r.error().message;
    EXPECT_EQ(r->status, 500);
    EXPECT_EQ(text(r->body), "down");
}

TEST_F(CurlHttpClientTest, AnswerOfExactlyTheLimitIsKept) {
    LoopbackHttp server(
        [](const HttpExchange&) { return HttpAnswer{200, "x/y", std::string(1000, 'a')}; });
    HttpLimits limits;
    limits.maxResponseBytes = 1000;
    Result<HttpResponse> r = CurlHttpClient(limits).get(server.url());
    ASSERT_TRUE(r) << r.error().message;
    EXPECT_EQ(r->body.size(), 1000u);
}

TEST_F(CurlHttpClientTest, RedirectsKeepThePostUnlessSeeOther) {
    struct Case {
        int status;
        const char* method;
    };
    for (const Case c : {Case{307, "POST"}, Case{308, "POST"}, Case{302, "POST"}, Case{301, "POST"},
                         Case{303, "GET"}}) {
        HttpExchange last;
        std::string location;
        LoopbackHttp server([&](const HttpExchange& e) {
            last = e;
            if (e.target == "/old") {
                return HttpAnswer{c.status, "text/plain", "", {"Location: " + location}};
            }
            return HttpAnswer{200, "text/plain", "here"};
        });
        location = server.url("/new");
        Result<HttpResponse> r = CurlHttpClient().post(server.url("/old"), "a/b", asBytes("q"));
        ASSERT_TRUE(r) << c.status << ": " << r.error().message;
        EXPECT_EQ(text(r->body), "here") << c.status;
        EXPECT_EQ(last.target, "/new") << c.status;
        EXPECT_EQ(last.method, c.method) << c.status;
        if (std::string(c.method) == "POST") {
            EXPECT_EQ(last.body, "q") << c.status;
        }
    }
}

TEST_F(CurlHttpClientTest, TheEnvironmentsProxyCarriesTheRequest) {
    HttpExchange seen;
    LoopbackHttp proxy([&](const HttpExchange& e) {
        seen = e;
        return HttpAnswer{200, "text/plain", "via proxy"};
    });
    ::setenv("http_proxy", proxy.url().c_str(), 1);
    Result<HttpResponse> r = CurlHttpClient().get("http://tsa.example.invalid/query");
    ASSERT_TRUE(r) << r.error().message;
    EXPECT_EQ(text(r->body), "via proxy");
    EXPECT_EQ(seen.target, "http://tsa.example.invalid/query");
}

struct Refusal {
    const char* name;
    std::function<HttpAnswer(const HttpExchange&, const std::string& base)> answer;
    HttpErrorKind kind;
    const char* says;
};

TEST_F(CurlHttpClientTest, EachRefusalIsOneLineStartingWithTheUrl) {
    const Refusal cases[] = {
        {"longer than the limit",
         [](const HttpExchange&, const std::string&) {
             return HttpAnswer{200, "x/y", std::string(1001, 'a')};
         },
         HttpErrorKind::TooLarge, "longer than 1000 bytes"},
        {"longer than the limit, no length given",
         [](const HttpExchange&, const std::string&) {
             return HttpAnswer::rawBytes("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" +
                                         std::string(5000, 'a'));
         },
         HttpErrorKind::TooLarge, "longer than 1000 bytes"},
        {"redirect to another scheme",
         [](const HttpExchange&, const std::string&) {
             return HttpAnswer{302, "text/plain", "", {"Location: ftp://127.0.0.1/x"}};
         },
         HttpErrorKind::BadRedirect, "refuses the redirect to ftp://127.0.0.1/x"},
        {"redirect loop",
         [](const HttpExchange&, const std::string& base) {
             return HttpAnswer{307, "text/plain", "", {"Location: " + base + "/again"}};
         },
         HttpErrorKind::BadRedirect, "more than 5 redirects"},
        {"too slow",
         [](const HttpExchange&, const std::string&) {
             std::this_thread::sleep_for(std::chrono::milliseconds(1500));
             return HttpAnswer{200, "x/y", "late"};
         },
         HttpErrorKind::TimedOut, ""},
        {"not HTTP",
         [](const HttpExchange&, const std::string&) {
             return HttpAnswer::rawBytes("SSH-2.0-OpenSSH\r\n");
         },
         HttpErrorKind::Unreachable, ""},
    };
    HttpLimits limits;
    limits.maxResponseBytes = 1000;
    limits.totalTimeout = std::chrono::milliseconds(400);
    for (const Refusal& c : cases) {
        std::string base;
        LoopbackHttp server([&](const HttpExchange& e) { return c.answer(e, base); });
        base = server.url("");
        const std::string url = server.url("/first");
        Result<HttpResponse> r = CurlHttpClient(limits).post(url, "a/b", asBytes("q"));
        ASSERT_FALSE(r) << c.name;
        EXPECT_EQ(r.error().domain, kHttpErrorDomain) << c.name;
        EXPECT_EQ(r.error().code, static_cast<std::int64_t>(c.kind)) << c.name << ": "
                                                                     << r.error().message;
        EXPECT_EQ(r.error().where, url) << c.name;
        EXPECT_EQ(r.error().message.rfind(url + ": ", 0), 0u) << c.name << ": "
                                                              << r.error().message;
        EXPECT_NE(r.error().message.find(c.says), std::string::npos) << r.error().message;
        EXPECT_EQ(r.error().message.find('\n'), std::string::npos) << r.error().message;
    }
}

TEST_F(CurlHttpClientTest, NoServerAndOtherSchemesAreRefusedNamingTheUrl) {
    std::string closed;
    {
        LoopbackHttp gone([](const HttpExchange&) { return HttpAnswer{}; });
        closed = gone.url("/tsa");
    }
    const std::pair<std::string, HttpErrorKind> cases[] = {
        {closed, HttpErrorKind::Unreachable},
        {"ftp://127.0.0.1/tsa", HttpErrorKind::BadUrl},
        {"file:///etc/passwd", HttpErrorKind::BadUrl},
        {"127.0.0.1/tsa", HttpErrorKind::BadUrl},
    };
    for (const auto& [url, kind] : cases) {
        Result<HttpResponse> r = CurlHttpClient().get(url);
        ASSERT_FALSE(r) << url;
        EXPECT_EQ(r.error().code, static_cast<std::int64_t>(kind)) << r.error().message;
        EXPECT_EQ(r.error().message.rfind(url + ": ", 0), 0u) << r.error().message;
    }
}

}  // namespace
}  // namespace penwell::curl
