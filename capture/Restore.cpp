#include <cmath>

#include "penwell/capture/Penwell.h"

namespace penwell {

bool PenwellViewController::restoreSignature(std::vector<Stroke> strokes, Error* error) {
    // Everything is checked before anything changes: a refused restore leaves the strokes and
    // the pad as they were. A non-finite position would have no place on the pad (and none in
    // the record's integers), a non-finite pressure no stroke width.
    for (const Stroke& stroke : strokes) {
        for (const _point& sample : stroke) {
            const Point p = sample.CGPointValue();
            const bool position = std::isfinite(p.x) && std::isfinite(p.y);
            if (!position || !std::isfinite(sample.Pressure())) {
                if (error != nullptr) {
                    *error = {kRestoreErrorDomain,
                              position ? kRestoreNonFinitePressure : kRestoreNonFinitePosition};
                }
                return false;
            }
        }
    }
    _lines = std::move(strokes);
    lineKinds_.clear();  // a record does not say how its strokes were drawn
    renderSignture();
    return true;
}

}  // namespace penwell
