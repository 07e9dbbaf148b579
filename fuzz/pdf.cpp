// The PDF library on hostile files: the first byte picks what the rest is.
//   0: the document to sign (on page 1, then in a field of that name), with a fixed ink;
//   1: a signed document to verify, with an evidence opener that accepts anything;
//   2: the ink's picture, signed into a small document Cairo made.
// Nothing may crash, hang or grow without bound; a refusal is an answer like any other.

#include <cairo-pdf.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>

#include "penwell/fuzz/FuzzInput.h"
#include "penwell/pdf/PdfSignature.h"

using namespace penwell;

namespace {

Bytes readAll(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

const pdf::SigningIdentity& identity() {
    static const pdf::SigningIdentity id = [] {
        const Bytes key = readAll(PENWELL_DEMO_CERTIFICATE_DIR "/demo-private-key.pem");
        const Bytes certificate = readAll(PENWELL_DEMO_CERTIFICATE_DIR "/Penwell.dat");
        return *pdf::SigningIdentity::fromPem(key, "key", certificate, "certificate");
    }();
    return id;
}

/// A one-page PDF with one line on it, as Cairo writes it.
Bytes cairoPdf(double width, double height) {
    Bytes out;
    cairo_surface_t* surface = cairo_pdf_surface_create_for_stream(
        [](void* closure, const unsigned char* data, unsigned int length) {
            auto* bytes = static_cast<Bytes*>(closure);
            bytes->insert(bytes->end(), data, data + length);
            return CAIRO_STATUS_SUCCESS;
        },
        &out, width, height);
    cairo_t* cr = cairo_create(surface);
    cairo_move_to(cr, 10, 10);
    cairo_line_to(cr, width - 10, height - 10);
    cairo_stroke(cr);
    cairo_destroy(cr);
    cairo_surface_finish(surface);
    cairo_surface_destroy(surface);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Bytes ink = cairoPdf(200, 80);
    static const Bytes document = cairoPdf(595, 842);
    fuzz::FuzzInput in(data, size);
    const unsigned stage = in.pick(3);
    const auto rest = in.rest();
    const ByteView bytes(rest.data(), rest.size());
    pdf::SignRequest request;
    request.inkPdf = ink;
    request.reason = "fuzz";
    switch (stage) {
        case 0: {
            request.placement = pdf::PagePlacement{1, 10, 10, 100, 40};
            (void)pdf::signPdf(bytes, "fuzz.pdf", request, identity());
            request.placement = pdf::FieldPlacement{"Signature1"};
            request.evidence = [](const pdf::Sha256& digest) -> Result<Bytes> {
                return Bytes(digest.begin(), digest.end());
            };
            (void)pdf::signPdf(bytes, "fuzz.pdf", request, identity());
            break;
        }
        case 1: {
            pdf::VerifyOptions options;
            options.openEvidence = [](ByteView evidence) -> Result<pdf::OpenedEvidence> {
                pdf::OpenedEvidence opened;
                std::copy_n(evidence.begin(), std::min(evidence.size(), opened.documentDigest.size()),
                            opened.documentDigest.begin());
                return opened;
            };
            (void)pdf::verifyPdf(bytes, "fuzz.pdf", options);
            // And judged from what the file carries: its /DSS, /VRI and tokens read and used.
            static const Bytes anchor = readAll(PENWELL_DEMO_CERTIFICATE_DIR "/Penwell.dat");
            options.trust = {anchor};
            options.at = 1900000000;
            (void)pdf::verifyPdf(bytes, "fuzz.pdf", options);
            break;
        }
        default: {
            request.inkPdf.assign(bytes.begin(), bytes.end());
            request.placement = pdf::PagePlacement{1, 100, 100, 200, 80};
            (void)pdf::signPdf(document, "fuzz.pdf", request, identity());
            break;
        }
    }
    return 0;
}
