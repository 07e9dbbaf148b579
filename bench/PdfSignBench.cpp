// Signing a PDF against its floor, in the same run: qpdf's parse of the file (opening it and
// listing its pages, which any signer needs to place a field) + SHA-256 of its bytes + one
// RSA-2048 signature. The goal: signing costs at most 1.5x the floor. Documents: one page of
// text, and 200 pages of about 50 KB each (text and an incompressible picture), about 10 MB.

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>

#include <fstream>
#include <iterator>

#include "penwell/bench/BenchPdf.h"
#include "penwell/pdf/PdfSignature.h"
#include "penwell/platform/CHandle.h"

using namespace penwell;
using penwell::bench::document;
using penwell::bench::inkPdf;

namespace {

Bytes readAll(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

const Bytes kKey = readAll(PENWELL_DEMO_CERTIFICATE_DIR "/demo-private-key.pem");

void signing(benchmark::State& state, int pages) {
    const Bytes& doc = document(pages);
    const pdf::SigningIdentity identity = *pdf::SigningIdentity::fromPem(
        kKey, "key", readAll(PENWELL_DEMO_CERTIFICATE_DIR "/Penwell.dat"), "certificate");
    pdf::SignRequest request;
    request.placement = pdf::PagePlacement{1, 300, 100, 200, 80};
    request.inkPdf = inkPdf();
    for (auto _ : state) {
        Result<Bytes> out = pdf::signPdf(doc, "bench.pdf", request, identity);
        if (!out) {
            state.SkipWithError(out.error().message.c_str());
            break;
        }
        benchmark::DoNotOptimize(out->data());
    }
    state.counters["MB"] = static_cast<double>(doc.size()) / 1e6;
}

/// The floor. With `everyObject`, qpdf parses every object of the file, as it does itself
/// before it numbers a new object (QPDF::makeIndirectObject resolves the whole cross-reference
/// table first), which any update made through qpdf's object model pays.
void floor(benchmark::State& state, int pages, bool everyObject) {
    const Bytes& doc = document(pages);
    CHandle<BIO, BIO_free> bio(BIO_new_mem_buf(kKey.data(), static_cast<int>(kKey.size())));
    CHandle<EVP_PKEY, EVP_PKEY_free> key(
        PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    for (auto _ : state) {
        QPDF qpdf;
        qpdf.processMemoryFile("bench.pdf", reinterpret_cast<const char*>(doc.data()), doc.size());
        benchmark::DoNotOptimize(QPDFPageDocumentHelper(qpdf).getAllPages().size());
        if (everyObject) {
            benchmark::DoNotOptimize(qpdf.getObjectCount());
        }
        unsigned char digest[32];
        unsigned int length = 0;
        EVP_Digest(doc.data(), doc.size(), digest, &length, EVP_sha256(), nullptr);
        CHandle<EVP_MD_CTX, EVP_MD_CTX_free> context(EVP_MD_CTX_new());
        unsigned char signature[256];
        std::size_t size = sizeof signature;
        EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get());
        EVP_DigestSign(context.get(), signature, &size, digest, sizeof digest);
        benchmark::DoNotOptimize(signature);
    }
    state.counters["MB"] = static_cast<double>(doc.size()) / 1e6;
}

}  // namespace

BENCHMARK_CAPTURE(floor, 1_page, 1, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(floor, 1_page_every_object, 1, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(signing, 1_page, 1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(floor, 200_pages, 200, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(floor, 200_pages_every_object, 200, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(signing, 200_pages, 200)->Unit(benchmark::kMillisecond);
