#pragma once
// What a signing page sends over its WebSocket, parsed and validated before anything reaches
// the controller. Every message is one JSON object with a "type":
//   {"type":"down"|"move"|"up"|"cancel", "pointer":"stylus"|"finger"|"mouse"|"unknown",
//    "samples":[[t, x, y, pressure], ...]}
//       pointer: a PointerKind's one spelling; pages written before it was one send the
//       browser's "pen" and "touch", which are read as stylus and finger. t in seconds on the
//       page's event clock, x and y in pad points, pressure as the browser reports it (0 to 1),
//       each within SampleBatch's bounds. down, up and cancel carry exactly one sample; move
//       carries the pointer event's coalesced samples, oldest first.
//   {"type":"undo"} {"type":"clear"} {"type":"done"} {"type":"snapshot"}
//   {"type":"shown", "page":N}   the page has drawn page N of the document being signed (the
//                                one the signature goes on), so the signer has seen it
//   {"type":"config", "smoothing":true|false, "lineWidth":W, "scale":1..4}   (any key may be
//   left out; scale: the canvas's pixels per point, a whole number; smoothing and lineWidth
//   only from a page that shows the operator's controls)
// Any message may carry "seq", a number the page counts up from 1: the server acknowledges the
// last one it took (in its state and hello messages) and ignores one it has already taken, so
// a page that lost its connection sends again whatever was not acknowledged.
// The network is hostile: anything else is refused with one reason, and the session closes.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "penwell/format/SampleBatch.h"
#include "penwell/host/common/PointerInput.h"
#include "penwell/platform/Result.h"
#include "penwell/platform/Touch.h"

namespace penwell::web {

/// The most pixels per point a page may ask its patches at (device pixel ratios go to 4).
inline constexpr double kMaxPatchScale = 4.0;

/// Limits on what one session may send. The defaults are what `penwell serve` uses.
struct MessageLimits {
    std::size_t messageBytes = 64 * 1024;  ///< one WebSocket message
    std::size_t samplesPerMessage = 256;   ///< a frame of coalesced samples at 240 Hz is ~4
};

/// Domain of a message refused: its one line is the reason the page is shown when its session
/// is closed; `where` is the JSON path at fault, when there is one.
inline constexpr const char* kProtocolErrorDomain = "PenwellWebProtocol";

enum class ProtocolFault : int {
    malformed = 1,   ///< not a message of the protocol (parseClientMessage)
    outOfOrder = 2,  ///< a message the session cannot take now (SigningSession::receive)
};

enum class MessageType { down, move, up, cancel, undo, clear, done, snapshot, config, shown };

/// Seconds, pad points and pressure (the page sends no tilt).
using Sample = PointerSample;

/// A message; down, move, up and cancel carry a batch of samples (`pointer`, `samples`), which
/// become touches through host::touchFor(), shared with every host.
struct ClientMessage : SampleBatch {
    MessageType type = MessageType::undo;
    std::optional<bool> smoothing;   ///< config
    std::optional<float> lineWidth;  ///< config
    std::optional<int> scale;        ///< config: patches at this many pixels per point
    int page = 0;                    ///< shown: the document's page, from 1
    std::optional<std::uint64_t> seq;
};

/// Parses one message. Fails (ProtocolFault::malformed) naming the fault, e.g. "samples[2][1]:
/// expected a finite number".
Result<ClientMessage> parseClientMessage(std::string_view text, const MessageLimits& limits = {});

using host::touchFor;

}  // namespace penwell::web
