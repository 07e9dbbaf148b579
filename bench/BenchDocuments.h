#pragma once
// The documents the PDF benchmarks sign, made by Cairo: the same bytes in every run.

#include "penwell/platform/Bytes.h"

namespace penwell::bench {

/// `pages` A4 pages, each with a line of text and, beyond the first page's document, a
/// 128 x 128 picture of noise (about 48 KB that no filter shrinks): 200 pages make 10 MB.
/// Made once per page count.
const Bytes& document(int pages);

/// A signature's picture: one polyline of 400 points, as the vector export draws ink.
Bytes inkPdf();

}  // namespace penwell::bench
