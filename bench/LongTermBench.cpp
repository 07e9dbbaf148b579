// B-LTA signing against its floor, in the same run: B-B signing of the same document with the
// same key, plus the round trips B-LTA needs to a time-stamp authority (two tokens: the
// signature's and the document time-stamp) and to the revocation services (an OCSP answer
// for the signer's and for the TSA's certificate, the root's CRL for the intermediate), each
// answer checked as B-LTA must check it before relying on it; the exchanges alone are measured
// beside them. The goal: B-LTA costs at most 2x B-B plus the round trips. The test PKI's TSA,
// OCSP responder and CRL host answer on loopback, in threads of this process, so the times are
// wall-clock.

#include <benchmark/benchmark.h>
#include <openssl/ocsp.h>
#include <openssl/pem.h>
#include <openssl/ts.h>

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
    const pdf::LongTermLevel level{sources, tsa};
    const int servedBefore = s.revocation.served();
    for (auto _ : state) {
        Result<Bytes> lta = pdf::signPdf(doc, "bench.pdf", asked, signer, level);
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

/// A time-stamp query over a zero digest, as DER, for the exchanges alone.
Bytes timestampQuery() {
    openssl::TimestampQueryHandle query(TS_REQ_new());
    CHandle<TS_MSG_IMPRINT, TS_MSG_IMPRINT_free> imprint(TS_MSG_IMPRINT_new());
    CHandle<X509_ALGOR, X509_ALGOR_free> algorithm(X509_ALGOR_new());
    unsigned char zeros[32] = {};
    X509_ALGOR_set0(algorithm.get(), OBJ_nid2obj(NID_sha256), V_ASN1_NULL, nullptr);
    TS_MSG_IMPRINT_set_algo(imprint.get(), algorithm.get());
    TS_MSG_IMPRINT_set_msg(imprint.get(), zeros, sizeof zeros);
    TS_REQ_set_version(query.get(), 1);
    TS_REQ_set_msg_imprint(query.get(), imprint.get());
    TS_REQ_set_cert_req(query.get(), 1);
    Bytes der(static_cast<std::size_t>(i2d_TS_REQ(query.get(), nullptr)));
    unsigned char* p = der.data();
    i2d_TS_REQ(query.get(), &p);
    return der;
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

/// The round trips alone: two tokens, two OCSP answers and one CRL, each asked and answered,
/// and with `checked` each read and checked as B-LTA must before it relies on it: a token's
/// imprint, nonce and signature (requestTimestampTokenFor()), an OCSP answer's signature, its
/// responder's chain to the root and the status it gives, the CRL's signature by the root.
/// Without `checked` the tokens are only asked for too.
void roundTrips(benchmark::State& state, bool checked) {
    Services& s = services();
    const pdf::TimestampAuthority tsa{s.tsa.url(), s.http};
    X509* intermediate = s.pki.intermediate.certificate.get();
    const Bytes signerQuery = ocspRequest(s.pki.signer.certificate.get(), intermediate);
    const Bytes tsaQuery = ocspRequest(s.pki.tsa.certificate.get(), intermediate);
    const Bytes tokenQuery = timestampQuery();
    openssl::X509StoreHandle anchors(X509_STORE_new());
    X509_STORE_add_cert(anchors.get(), s.pki.root.certificate.get());
    openssl::CertificateStackHandle untrusted(sk_X509_new_null());
    sk_X509_push(untrusted.get(), openssl::sharedCertificate(intermediate).release());
    const pdf::Sha256 digest{};
    auto fail = [&state](const std::string& what) {
        state.SkipWithError(what.c_str());
        return false;
    };
    auto round = [&]() {
        for (int i = 0; i < 2; ++i) {
            if (!checked) {
                Result<HttpResponse> answer =
                    s.http->post(tsa.url, "application/timestamp-query", tokenQuery);
                if (!answer || answer->status != 200) {
                    return fail("the TSA did not answer");
                }
            } else if (Result<Bytes> token = pdf::requestTimestampTokenFor(tsa, digest); !token) {
                return fail(token.error().message);
            }
        }
        for (const Bytes* query : {&signerQuery, &tsaQuery}) {
            Result<HttpResponse> answer =
                s.http->post(s.revocation.ocspUrl(), "application/ocsp-request", *query);
            if (!answer || answer->status != 200) {
                return fail("the OCSP responder did not answer");
            }
            if (checked) {
                const unsigned char* p = answer->body.data();
                openssl::OcspResponseHandle parsed(
                    d2i_OCSP_RESPONSE(nullptr, &p, static_cast<long>(answer->body.size())));
                openssl::OcspBasicHandle basic(parsed ? OCSP_response_get1_basic(parsed.get())
                                                      : nullptr);
                if (!basic || OCSP_basic_verify(basic.get(), untrusted.get(), anchors.get(), 0) != 1 ||
                    OCSP_resp_count(basic.get()) != 1 ||
                    OCSP_single_get0_status(OCSP_resp_get0(basic.get(), 0), nullptr, nullptr,
                                            nullptr, nullptr) != V_OCSP_CERTSTATUS_GOOD) {
                    return fail("the OCSP answer does not check");
                }
            }
        }
        Result<HttpResponse> crl = s.http->get(s.revocation.crlUrl());
        if (!crl || crl->status != 200) {
            return fail("the CRL host did not answer");
        }
        if (checked) {
            const unsigned char* p = crl->body.data();
            openssl::CrlHandle parsed(d2i_X509_CRL(nullptr, &p, static_cast<long>(crl->body.size())));
            if (!parsed ||
                X509_CRL_verify(parsed.get(), X509_get0_pubkey(s.pki.root.certificate.get())) != 1) {
                return fail("the CRL does not check");
            }
        }
        return true;
    };
    for (auto _ : state) {
        if (!round()) {
            break;
        }
    }
}

}  // namespace

BENCHMARK_CAPTURE(basic, 1_page, 1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(roundTrips, checked, true)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(roundTrips, exchanges_only, false)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(archive, 1_page, 1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(basic, 200_pages, 200)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(archive, 200_pages, 200)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(step, 1_page_signature, 1, 0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(step, 1_page_dss, 1, 1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(step, 1_page_document_timestamp, 1, 2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(step, 200_pages_signature, 200, 0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(step, 200_pages_dss, 200, 1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(step, 200_pages_document_timestamp, 200, 2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
