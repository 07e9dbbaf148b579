#pragma once
// RAII owners of Cairo's handles (private to the Cairo backend).

#include <cairo.h>

#include "penwell/platform/CHandle.h"

namespace penwell::cairo {

using Surface = CHandle<cairo_surface_t, cairo_surface_destroy>;
using Context = CHandle<cairo_t, cairo_destroy>;

}  // namespace penwell::cairo
