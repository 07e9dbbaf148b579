#pragma once
// The documents the PDF benchmarks sign, made by Cairo in the benchmark: A4 pages of text, with
// a picture of noise that no filter shrinks when heavy, and an ink picture.

#include <cairo-pdf.h>

#include <cmath>
#include <cstdint>
#include <map>
#include <string>

#include "penwell/platform/Bytes.h"

namespace penwell::bench {

inline cairo_status_t appendTo(void* closure, const unsigned char* data, unsigned int length) {
    auto* bytes = static_cast<Bytes*>(closure);
    bytes->insert(bytes->end(), data, data + length);
    return CAIRO_STATUS_SUCCESS;
}

/// `pages` A4 pages, each with a line of text and, when `heavy`, a 128 x 128 picture of noise
/// (about 48 KB that no filter shrinks).
inline Bytes makeDocument(int pages, bool heavy) {
    Bytes out;
    cairo_surface_t* surface = cairo_pdf_surface_create_for_stream(appendTo, &out, 595, 842);
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
inline Bytes inkPdf() {
    Bytes out;
    cairo_surface_t* surface = cairo_pdf_surface_create_for_stream(appendTo, &out, 300, 120);
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

/// One page of text (about 6 KB), or `pages` heavy pages (200: about 10 MB); made once.
inline const Bytes& document(int pages) {
    static std::map<int, Bytes> made;
    auto& bytes = made[pages];
    if (bytes.empty()) {
        bytes = makeDocument(pages, pages > 1);
    }
    return bytes;
}

}  // namespace penwell::bench
