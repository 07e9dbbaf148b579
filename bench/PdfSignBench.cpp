// Signing a PDF against its floor, in the same run: qpdf's parse of the file (opening it and
// listing its pages, which any signer needs to place a field) + SHA-256 of its bytes + one
// RSA-2048 signature. The goal: signing costs at most 1.5x the floor. Documents: one page of
// text, and 200 pages of about 50 KB each (text and an incompressible picture), about 10 MB.

#include <benchmark/benchmark.h>
#include <cairo-pdf.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>

#include <cmath>
#include <fstream>
#include <iterator>
#include <map>

#include "penwell/pdf/PdfSignature.h"
#include "penwell/platform/CHandle.h"

using namespace penwell;

namespace {

Bytes readAll(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

cairo_status_t append(void* closure, const unsigned char* data, unsigned int length) {
    auto* bytes = static_cast<Bytes*>(closure);
    bytes->insert(bytes->end(), data, data + length);
    return CAIRO_STATUS_SUCCESS;
}

/// `pages` A4 pages, each with a line of text and, when `heavy`, a 128 x 128 picture of noise
/// (about 48 KB that no filter shrinks).
Bytes makeDocument(int pages, bool heavy) {
    Bytes out;
    cairo_surface_t* surface = cairo_pdf_surface_create_for_stream(append, &out, 595, 842);
    cairo_t* cr = cairo_create(surface);
    std::uint32_t state = 2463534242u;
    for (int p = 0; p < pages; ++p) {
        cairo_move_to(cr, 72, 72);
        cairo_show_text(cr, ("Contract, page " + std::to_string(p + 1)).c_str());
        if (heavy) {
            cairo_surface_t* noise = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 128, 128);
            unsigned char* pixels = cairo_image_surface_get_data(noise);
            for (int i = 0; i < 128 * cairo_image_surface_get_stride(noise); ++i) {
                state ^= state << 13, state ^= state >> 17, state ^= state << 5;
                pixels[i] = static_cast<unsigned char>(state);
            }
            cairo_surface_mark_dirty(noise);
            cairo_set_source_surface(cr, noise, 100, 200);
            cairo_paint(cr);
            cairo_surface_destroy(noise);
        }
        cairo_show_page(cr);
    }
    cairo_destroy(cr);
    cairo_surface_finish(surface);
    cairo_surface_destroy(surface);
    return out;
}

/// A signature's picture: one polyline of 400 points, as the vector export draws ink.
Bytes inkPdf() {
    Bytes out;
    cairo_surface_t* surface = cairo_pdf_surface_create_for_stream(append, &out, 300, 120);
    cairo_t* cr = cairo_create(surface);
    for (int i = 0; i < 400; ++i) {
        cairo_line_to(cr, 10 + i * 0.7, 60 + 40 * std::sin(i * 0.1));
    }
    cairo_stroke(cr);
    cairo_destroy(cr);
    cairo_surface_finish(surface);
    cairo_surface_destroy(surface);
    return out;
}

const Bytes& document(int pages) {
    static std::map<int, Bytes> made;
    auto& bytes = made[pages];
    if (bytes.empty()) {
        bytes = makeDocument(pages, pages > 1);
    }
    return bytes;
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
