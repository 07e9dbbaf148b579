// A time-stamp authority's HTTP answer, as the signer reads it, and a token as a verifier
// reads one from a document: any bytes must give a token or a one-line refusal naming the
// authority, never a crash or a read past them.

#include <cstdint>
#include <memory>

#include "penwell/pdf/DocumentTimestamp.h"
#include "penwell/pdf/Timestamp.h"

using namespace penwell;

namespace {

/// An authority that answers every query with the same bytes.
class FixedAnswer final : public HttpClient {
public:
    explicit FixedAnswer(Bytes body) : body_(std::move(body)) {}

    Result<HttpResponse> post(const std::string&, const std::string&, ByteView,
                              const HttpHeaders&) override {
        HttpResponse out;
        out.status = 200;
        out.body = body_;
        return out;
    }
    Result<HttpResponse> get(const std::string& url) override { return post(url, "", {}, {}); }

private:
    Bytes body_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Bytes bytes(data, data + size);
    const pdf::TimestampAuthority tsa{"http://tsa.invalid/", std::make_shared<FixedAnswer>(bytes)};
    Result<Bytes> token = pdf::requestTimestampTokenFor(tsa, pdf::Sha256{});
    if (!token && token.error().message.find('\n') != std::string::npos) {
        __builtin_trap();  // a refusal is one line
    }
    const pdf::Sha256 imprint{};
    (void)pdf::checkTimestampToken(bytes, imprint, {});
    return 0;
}
