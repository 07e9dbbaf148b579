#include "capture/Penwell.h"

namespace penwell {

void PenwellViewController::resumeLiveInk() {}

}  // namespace penwell
