#include <cstdint>

#include "penwell/capture/Penwell.h"

namespace penwell {

bool PenwellViewController::isSignature() const {
    if (_lines.empty()) {
        return false;
    }
    // Counting sample by sample and answering as soon as the threshold is passed keeps a long
    // signature from being walked to its end.
    std::int32_t count = 0;
    for (const Stroke& stroke : _lines) {
        for (std::size_t i = 0; i < stroke.size(); ++i) {
            ++count;
            if (count > MinSigPoints_) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace penwell
