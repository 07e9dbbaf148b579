#pragma once
// One signer's pad: a real PenwellViewController on a run loop the caller provides, fed with
// the page's messages, and the pictures and state the page shows, sent back through a Sink.
// It knows nothing of the network, so tests and the load benchmark drive it directly. Every
// call, and every piece of work the controller schedules, must run on one thread at a time
// (the server runs them all on the session's strand).

#include <chrono>
#include <cstddef>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "penwell/capture/Penwell.h"
#include "penwell/host/common/PadPicture.h"
#include "penwell/host/common/PointerInput.h"
#include "penwell/host/web/SignableDocument.h"
#include "penwell/host/web/Messages.h"
#include "penwell/platform/Cms.h"
#include "penwell/platform/RunLoop.h"
#include "penwell/platform/Defaults.h"

namespace penwell::host {
struct SignatureBundle;
}

namespace penwell::web {

/// Snapshots take turns across the sessions that share this: one is painted at a time, so that
/// however many pages ask, everyone else's work waits behind at most one tile of one. Shared by
/// the sessions of a server, used from their strands.
class SnapshotTurns {
public:
    /// Runs `go` at once when no snapshot has the turn, else after those before it.
    void take(std::function<void()> go);
    /// The turn passes to the next, if any.
    void pass();

private:
    std::mutex mutex_;
    bool taken_ = false;
    std::deque<std::function<void()>> waiting_;
};

struct PadSettings {
    Size size{600, 250};     ///< the pad in points; the page's canvas has this size in pixels
    bool smoothing = true;   ///< finger strokes are smoothed after a pause
    float lineWidth = 3.0f;  ///< ink width in points (a pen's width follows its pressure)
    /// Where Done writes NAME.data, NAME.key, NAME.png and NAME.evidence; without it the page
    /// downloads them.
    std::optional<std::filesystem::path> out;
    ServiceOptions services;  ///< certificate store and resource folder
    /// The capture station's operator key: when given, every evidence record is signed.
    std::optional<SigningIdentity> signer;
    /// The certificates every evidence record is sealed for (EvidenceOptions::recipients);
    /// none: the pinned certificate.
    std::vector<Bytes> recipients;
    /// When not empty, logged once for every signature saved: the demo certificate seals it.
    std::string demoWarning;
    /// The PDF being signed: Done then also makes NAME.pdf, and the evidence is bound to it.
    std::shared_ptr<const SignableDocument> document;
    MessageLimits limits;
    /// Samples the pad may hold (finished strokes and the stroke being drawn): bounds the
    /// memory of a session whatever a page sends.
    std::size_t samplesPerSession = 100000;
    /// Whether the page offers the operator's settings (smoothing, ink width): without them a
    /// page may not change what the signed outputs look like.
    bool operatorControls = false;
    /// Shared with the other sessions of a server; without it a snapshot waits for no one.
    std::shared_ptr<SnapshotTurns> snapshotTurns;
    /// A signing link's Done: it keeps the bundle (with the signed document) instead of
    /// writing files or offering them to the page. Its failure's line goes to the log, and the
    /// page is told that nothing was saved.
    std::function<MaybeFailure(const host::SignatureBundle&)> deliver;
    /// Text fields sealed into every evidence record besides the page's own (a signing
    /// request's id and the integrator's metadata), so that the record names what it was for.
    std::vector<EvidenceField> fields;
};

/// Where a session's output goes: JSON text messages and binary patch messages.
class Sink {
public:
    virtual ~Sink() = default;
    virtual void sendText(std::string text) = 0;
    virtual void sendBinary(std::string bytes) = 0;
    /// One line for the server's log about this session.
    virtual void log(const std::string& line) { (void)line; }
    /// The session cannot go on, for `reason`: a message it had to hold (see
    /// SigningSession::receive) turned out malformed or out of order when its turn came. The
    /// server closes the session with the reason, as it does when receive() fails.
    virtual void refuse(const std::string& reason) = 0;
};

/// How far a sample's time may lie before its predecessor's and still be taken (at the
/// predecessor's time); a larger step back ends the stroke being drawn (host::StrokeInput).
using host::kTimeJitter;

/// Binary messages, the pad's pictures: a header, then the PNG of a rectangle of what the pad
/// shows (its image over its background colour, so every pixel is opaque). The header is one
/// kind byte, then the fields of kPatchFields, little-endian. The page learns this layout from
/// the hello message, so this table is the one place that defines it.
inline constexpr std::uint8_t kPatchMessage = 1;  ///< paint it on the canvas
/// The whole pad, on request, not painted: in one message, or when larger than kInlinePixels
/// one tile of the pad's grid at a time, in rows from the top, so that its last tile is the
/// one at the bottom right.
inline constexpr std::uint8_t kSnapshotMessage = 2;

/// A patch of more pixels than this (at the page's scale) is sent a tile of the pad's grid at
/// a time, one per task on the run loop, as a snapshot is: the whole pad at 4 pixels per point
/// (after a Clear, an Undo, a new screen) costs a few hundred milliseconds, which one task
/// would take from every other session on its thread.
inline constexpr int kInlinePixels = 512 * 512;

/// Snapshots are costly (a whole pad at up to 4 pixels per point painted and encoded): a
/// session has at most one asked and not yet sent, the next starts no sooner than this after
/// the last one ended, nor sooner than kSnapshotShare of the time since, so that a session's
/// snapshots take at most that share of a thread.
inline constexpr double kSnapshotInterval = 0.25;  // seconds
inline constexpr double kSnapshotShare = 0.05;
/// Messages a session holds while its snapshot is being sent; one more is refused.
inline constexpr std::size_t kHeldMessages = 256;

/// What a Done that saved nothing answers the page, which words it for the signer; the full
/// reason goes to the server's log only (it may name the server's folders).
inline constexpr const char* kDoneTooShort = "tooShort";  ///< not a signature yet
inline constexpr const char* kDoneNotShown = "notShown";  ///< the document was never shown
inline constexpr const char* kDoneNotSaved = "notSaved";  ///< the export or the files failed
/// The evidence's text field in which the server records that the page showed the document.
inline constexpr const char* kDocumentShownField = "document shown";
/// The evidence fields of a signing link's signature: its request, and the integrator's
/// metadata (JSON, as the request was created with it).
inline constexpr const char* kRequestField = "signing request";
inline constexpr const char* kMetadataField = "request metadata";

struct PatchField {
    std::string_view name;
    std::size_t offset;
    std::size_t bytes;
};
/// Where the rectangle goes, in the canvas's pixels, and the number of the last message the
/// picture includes: the page's own provisional ink up to it is then the server's.
inline constexpr PatchField kPatchFields[] = {
    {"x", 1, 2}, {"y", 3, 2}, {"width", 5, 2}, {"height", 7, 2}, {"seq", 9, 4}};
inline constexpr std::size_t kPatchHeaderSize = 13;

class SigningSession {
public:
    /// Builds the controller on `runLoop` and shows the pad (its posted clear runs on the loop).
    SigningSession(const PadSettings& settings, std::shared_ptr<RunLoop> runLoop, Sink& sink);
    ~SigningSession();
    SigningSession(const SigningSession&) = delete;
    SigningSession& operator=(const SigningSession&) = delete;

    /// The first message: the pad's size, colours, settings and limits, the layout of the
    /// binary messages, and the token with which a dropped page comes back to this pad
    /// (`resumed` when it just did).
    std::string hello(const std::string& resumeToken = {}, bool resumed = false) const;

    /// Handles one message from the page. Fails when it is malformed (ProtocolFault::malformed)
    /// or out of order: a move, up or cancel without a down, a down during a stroke, more
    /// samples than the pad may hold, a snapshot asked while one is still being sent, a
    /// document reported shown when none is served or on another page, the operator's settings
    /// from a page without them. Time running back is no fault of the page (see kTimeJitter).
    /// While a picture is being sent tile by tile (a snapshot, or a large patch: one tile per
    /// task on the run loop, so that other sessions' work runs in between), a well-formed
    /// message is held and handled after its last tile, in order; a fault found then goes to
    /// Sink::refuse. The server closes a session whose message failed, with the failure's line.
    [[nodiscard]] MaybeFailure receive(std::string_view text);

    /// After a page came back: the next flush sends the whole picture and the state.
    void resync();

    /// Samples on the pad: finished strokes and the stroke being drawn.
    std::size_t heldSamples() const;

    /// Sends what changed since the last flush: a patch of the pad's picture and the state.
    /// The server calls it at most once per animation frame. A large patch is sent tile by
    /// tile, the state after its last tile; while a picture is being sent it does nothing.
    void flush();

    /// Time spent on messages and flushes, and samples received, since the last take: the
    /// load benchmark's measure. Returns {seconds, samples} and resets both.
    std::pair<double, std::size_t> takeWork();

    PenwellViewController& controller() { return *controller_; }
    const ImageView& pad() const { return *pad_; }
    /// What the pad shows, as the page paints it: the image over the background colour, at
    /// the page's scale (`area` in the canvas's pixels).
    Image shownImage(PixelRect area);
    /// The canvas's pixels per point, as the page asked (1 until it does).
    int scale() const { return scale_; }

private:
    MaybeFailure handle(const ClientMessage& message);
    MaybeFailure touch(const ClientMessage& message);
    void done();
    /// Answers the page that Done saved nothing, with `code`; `why`, when given, goes to the log.
    void doneFailed(const char* code, const std::string& why = {});
    void sendState();
    /// Starts the snapshot asked for, unless it must wait: for a picture being sent, or for
    /// the pause after the last snapshot.
    void startSnapshotWhenDue();
    /// The snapshot is out, after `seconds` of work: the next waits for the pause after it.
    void snapshotSent(double seconds);
    /// Sends `area` (in points) of the pad as `kind` messages, a tile per task.
    void beginSending(std::uint8_t kind, PixelRect area);
    void sendTile();
    /// Runs `work` later on the run loop, unless the session has gone by then.
    void later(void (SigningSession::*work)());
    /// Sends `area` of the pad, given in points (whole ones), at the page's scale.
    void sendPatch(std::uint8_t kind, PixelRect area);
    PixelRect wholePad() const;
    void note(const std::string& line);

    PadSettings settings_;
    Sink& sink_;
    headless::HeadlessHost host_;  // the application and device; the run loop is the caller's
    Services services_;
    std::shared_ptr<ImageView> pad_;
    std::unique_ptr<PenwellViewController> controller_;

    std::unique_ptr<host::StrokeInput> input_;  // the page's pointer events, in order
    std::uint64_t lastSeq_ = 0;                 // the last message number taken
    int scale_ = 1;
    std::optional<Image> sentImage_;
    std::string sentState_;
    double workSeconds_ = 0.0;
    std::size_t workSamples_ = 0;
    std::optional<int> documentShown_;  // the page the page reported drawn

    /// A picture being sent tile by tile.
    struct Sending {
        std::uint8_t kind = kPatchMessage;
        std::vector<PixelRect> tiles;  // in points, rows from the top
        std::size_t next = 0;
        std::uint64_t of = 0;  // the identity of the pad's image it began with
        int restarts = 0;
        double seconds = 0.0;
    };
    std::optional<Sending> sending_;
    std::deque<ClientMessage> held_;  // what came while it was being sent
    bool snapshotAsked_ = false;          // and not sent entirely yet
    bool holdsTurn_ = false;              // of settings_.snapshotTurns
    std::shared_ptr<Timer> snapshotGate_;  // while valid, the next snapshot waits for it
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

/// The part of the pad's image that changed since a flush (host/common/PadPicture.h).
using host::changedSince;

}  // namespace penwell::web
