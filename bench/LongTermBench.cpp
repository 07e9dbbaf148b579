// B-LTA signing against its floor, in the same run: B-B signing of the same document with the
// same key, plus the round trips B-LTA needs to a time-stamp authority (two tokens: the
// signature's and the document time-stamp) and to the revocation services (an OCSP answer
// for the signer's and for the TSA's certificate, the root's CRL for the intermediate). The
// goal: B-LTA costs at most 2x that. The test PKI's TSA, OCSP responder and CRL host answer on
// loopback, in threads of this process, so the times are wall-clock.

#include <benchmark/benchmark.h>
#include <openssl/ocsp.h>
#include <openssl/pem.h>

#include <ctime>
#include <memory>

#include "pdf/pki/RevocationServer.h"
#include "pdf/pki/TestPki.h"
#include "pdf/pki/TsaServer.h"
#include "penwell/bench/BenchPdf.h"
#include "penwell/pdf/DocumentTimestamp.h"
#include "penwell/pdf/LongTerm.h"
#include "penwell/pdf/PdfSignature.h"
#include "penwell/platform/curl/CurlHttpClient.h"
#include "penwell/platform/openssl/OpenSslHandles.h"

using namespace penwell;

namespace {

/// The test PKI and its services, made once.
struct Services {
    Services() { revocation.serve(pki); }

    Bytes chainPem() const {
        const std::string pem = pki.signer.certificatePem() + pki.intermediate.certificatePem();
        return Bytes(pem.begin(), pem.end());
    }
    Bytes rootPem() const {
        const std::string pem = pki.root.certificatePem();
        return Bytes(pem.begin(), pem.end());
    }

    pki::RevocationServer revocation;
    pki::TestPki pki{std::time(nullptr), revocation.ocspUrl(), revocation.crlUrl()};
    pki::TsaServer tsa{pki};
    std::shared_ptr<HttpClient> http = std::make_shared<curl::CurlHttpClient>();
};

Services& services() {
    static Services made;
    return made;
}

pdf::SigningIdentity identity() {
    Services& s = services();
    const std::string key = s.pki.signer.keyPem();
    return *pdf::SigningIdentity::fromPem(Bytes(key.begin(), key.end()), "key", s.chainPem(),
                                          "certificate");
}

pdf::SignRequest request() {
    pdf::SignRequest out;
    out.placement = pdf::PagePlacement{1, 300, 100, 200, 80};
    out.inkPdf = bench::inkPdf();
    return out;
}

void basic(benchmark::State& state, int pages) {
    const Bytes& doc = bench::document(pages);
    const pdf::SigningIdentity signer = identity();
    const pdf::SignRequest asked = request();
    for (auto _ : state) {
        Result<Bytes> out = pdf::signPdf(doc, "bench.pdf", asked, signer);
        if (!out) {
            state.SkipWithError(out.error().message.c_str());
            break;
        }
        benchmark::DoNotOptimize(out->data());
    }
}

void archive(benchmark::State& state, int pages) {
    Services& s = services();
    const Bytes& doc = bench::document(pages);
    const pdf::SigningIdentity signer = identity();
    pdf::SignRequest asked = request();
    const pdf::TimestampAuthority tsa{s.tsa.url(), s.http};
    asked.timestamp = tsa;
    pdf::ValidationSources sources;
    sources.trust = {s.rootPem()};
    sources.http = s.http;
    const int servedBefore = s.revocation.served();
    for (auto _ : state) {
        Result<Bytes> signed_ = pdf::signPdf(doc, "bench.pdf", asked, signer);
        Result<Bytes> lta =
            signed_ ? pdf::addValidationDataAndTimestamp(*signed_, "bench.pdf", sources, tsa)
                    : Result<Bytes>(signed_.error());
        if (!lta) {
            state.SkipWithError(lta.error().message.c_str());
            break;
        }
        benchmark::DoNotOptimize(lta->data());
    }
    state.counters["revocation_exchanges"] = benchmark::Counter(
        s.revocation.served() - servedBefore, benchmark::Counter::kAvgIterations);
}

/// One step of B-LTA alone, on the output of the steps before it (made once): 0, the B-T
/// signature; 1, the /DSS; 2, the document time-stamp.
void step(benchmark::State& state, int pages, int which) {
    Services& s = services();
    const pdf::TimestampAuthority tsa{s.tsa.url(), s.http};
    pdf::SignRequest asked = request();
    asked.timestamp = tsa;
    pdf::ValidationSources sources;
    sources.trust = {s.rootPem()};
    sources.http = s.http;
    const pdf::SigningIdentity signer = identity();
    const Bytes& doc = bench::document(pages);
    const Bytes bt = *pdf::signPdf(doc, "bench.pdf", asked, signer);
    const Bytes lt = *pdf::addValidationData(bt, "bench.pdf", sources);
    for (auto _ : state) {
        Result<Bytes> out = which == 0   ? pdf::signPdf(doc, "bench.pdf", asked, signer)
                            : which == 1 ? pdf::addValidationData(bt, "bench.pdf", sources)
                                         : pdf::addDocumentTimestamp(lt, "bench.pdf", tsa);
        if (!out) {
            state.SkipWithError(out.error().message.c_str());
            break;
        }
        benchmark::DoNotOptimize(out->data());
    }
}

/// An OCSP request for `c`, issued by `issuer`, as DER.
Bytes ocspRequest(X509* c, X509* issuer) {
    openssl::OcspRequestHandle query(OCSP_REQUEST_new());
    OCSP_request_add0_id(query.get(), OCSP_cert_to_id(EVP_sha1(), c, issuer));
    Bytes der(static_cast<std::size_t>(i2d_OCSP_REQUEST(query.get(), nullptr)));
    unsigned char* p = der.data();
    i2d_OCSP_REQUEST(query.get(), &p);
    return der;
}

/// The round trips alone: two tokens, two OCSP answers and one CRL, each asked and answered.
void roundTrips(benchmark::State& state) {
    Services& s = services();
    const pdf::TimestampAuthority tsa{s.tsa.url(), s.http};
    const Bytes signerQuery =
        ocspRequest(s.pki.signer.certificate.get(), s.pki.intermediate.certificate.get());
    const Bytes tsaQuery =
        ocspRequest(s.pki.tsa.certificate.get(), s.pki.intermediate.certificate.get());
    const pdf::Sha256 digest{};
    for (auto _ : state) {
        for (int i = 0; i < 2; ++i) {
            Result<Bytes> token = pdf::requestTimestampTokenFor(tsa, digest);
            if (!token) {
                state.SkipWithError(token.error().message.c_str());
                return;
            }
        }
        for (const Bytes* query : {&signerQuery, &tsaQuery}) {
            benchmark::DoNotOptimize(
                s.http->post(s.revocation.ocspUrl(), "application/ocsp-request", *query));
        }
        benchmark::DoNotOptimize(s.http->get(s.revocation.crlUrl()));
    }
}

}  // namespace

BENCHMARK_CAPTURE(basic, 1_page, 1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(roundTrips)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(archive, 1_page, 1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(basic, 200_pages, 200)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(archive, 200_pages, 200)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(step, 200_pages_signature, 200, 0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(step, 200_pages_dss, 200, 1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(step, 200_pages_document_timestamp, 200, 2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
