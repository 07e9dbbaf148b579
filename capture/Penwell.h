#pragma once
// Penwell: a signature-capture component. PenwellViewController turns an image view supplied
// by the host into a signing pad: it records every touch sample (position, time, pressure) in
// strokes, draws the ink live, smooths finger strokes after a pause, and hands the signature
// out as a transparent image or as an encrypted record whose key only the holder of the pinned
// certificate's private key can unwrap.
//
// Everything runs on the host's main thread; the controller reaches the outside world only
// through the Services it is given (see platform/Services.h and platform/Defaults.h).

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "penwell/capture/Sample.h"
#include "penwell/platform/Application.h"
#include "penwell/platform/Bytes.h"
#include "penwell/platform/Color.h"
#include "penwell/platform/Errors.h"
#include "penwell/platform/Graphics.h"
#include "penwell/platform/Image.h"
#include "penwell/platform/Result.h"
#include "penwell/platform/RunLoop.h"
#include "penwell/platform/Services.h"
#include "penwell/platform/View.h"

namespace penwell {

class SmoothedStroke;  // render/Smoothing.h, which callers of catmullRomSpline include
struct EvidenceOptions;
enum class PointerKind : std::uint8_t;

/// The ink colour as the four stroke-colour components that every painter uses.
struct InkComponents {
    double red = 0.0, green = 0.0, blue = 0.0, alpha = 0.0;
    friend bool operator==(const InkComponents&, const InkComponents&) = default;
};

/// What exportSignature writes.
enum class ExportFormat { PNG, SVG, PDF };

struct ExportOptions {
    ExportFormat format = ExportFormat::PNG;
    /// PNG pixels per point, from 1 to 8; the ink is painted at that scale, not resampled.
    /// Documents are measured in points and ignore it.
    double scale = 1.0;
    /// Cut to the drawn points' box widened by 20 points, as getSignatureImage(true) does.
    bool crop = false;
    /// Under the ink: `ibackcolor` (nothing when it is nil) instead of transparency.
    bool background = false;
};

struct ExportResult {
    /// The file's contents: PNG, SVG or PDF.
    Bytes bytes;
    /// PNG: the bitmap the bytes encode (its size is the pixel size). Documents: no pixels.
    Image image;
    /// The part of the pad the output shows, in pad points: the whole pad, or where the crop
    /// sits on it. An image drawn at this rectangle over the pad lies exactly over the ink.
    Rect rect;
};

/// Error domain of restoreSignature, and its codes.
inline constexpr const char* kRestoreErrorDomain = "PenwellRestore";
inline constexpr std::int64_t kRestoreNonFinitePosition = 1;
inline constexpr std::int64_t kRestoreNonFinitePressure = 2;

/// Domain of lastExportFailure() when there was nothing to export, and its code. Failures of
/// the key wrap and the encryption keep their own domains (kKeyWrapErrorDomain,
/// kVellCryptManagerErrorDomain) and codes.
inline constexpr const char* kExportErrorDomain = "PenwellExport";
inline constexpr std::int64_t kExportNoSignature = 1;

class PenwellViewController : public ViewController {
public:
    /// Sets every default (initialize()). Throws std::invalid_argument when the graphics,
    /// application, device or run-loop service is missing.
    explicit PenwellViewController(Services services);
    ~PenwellViewController() override;
    PenwellViewController(const PenwellViewController&) = delete;
    PenwellViewController& operator=(const PenwellViewController&) = delete;

    // ---- Signature test
    /// Whether the finished strokes hold more than MinSigPoints samples in all. The stroke
    /// being drawn does not count; an empty stroke list never is a signature.
    bool isSignature() const;

    // ---- Lifecycle, called by the toolkit --------------------------------------------------
    void viewDidLoad() override;
    /// Throws penwell::Exception ("Penwell", "sigImage not initialized") without a pad view.
    /// Otherwise starts observing orientation changes and posts a clear of the pad.
    void viewWillAppear(bool animated) override;
    void viewWillDisappear(bool animated) override;
    void viewDidUnload() override;
    void viewDidRotate(const Notification& notification);
    /// No rotation while a stroke is captured or the smoothing redraw runs.
    bool shouldAutorotate() const override;
    bool shouldAutorotateToInterfaceOrientation(std::int64_t orientation) const override;
    std::uint64_t supportedInterfaceOrientations() const override;

    // ---- The pad -----------------------------------------------------------------------
    /// Sets every property to its default and empties both stroke lists.
    void initialize();
    /// Paints the bare background and discards the signature.
    void clearSignature();
    /// Replaces the pad's image with the background picture for the device kind and
    /// orientation (or nothing), sets the view's background colour, refreshes the ink colour.
    void drawBackground();
    /// Splits `linecolor` into the ink components; a grey colour's level goes to red, green and
    /// blue.
    void _assignLineColorRBG();

    // ---- Touches, called by the toolkit ----------------------------------------------------
    /// Starts a stroke at the touch, unless one is in progress.
    void touchesBegan(const TouchSet& touches, const Event& event) override;
    /// Adds every coalesced touch as a sample and a segment of live ink.
    void touchesMoved(const TouchSet& touches, const Event& event) override;
    /// Finishes the stroke (a tap becomes a small dot) and, for a finger while smoothing is
    /// on, (re)starts the smoothing timer.
    void touchesEnded(const TouchSet& touches, const Event& event) override;
    /// Finishes the stroke like a touch-up, keeping its samples, but starts no timer.
    void touchesCancelled(const TouchSet& touches, const Event& event) override;
    /// Replaces the finished strokes with `strokes` (a saved lines(), or a received record) and
    /// repaints the pad as the redraw does; a stroke being captured carries on on top. After
    /// it, isSignature, the statistics and the exports answer as if the strokes had been
    /// captured. Refuses, changing nothing, a sample whose position or pressure is not finite:
    /// false, with *error = {kRestoreErrorDomain, kRestoreNonFinitePosition or
    /// kRestoreNonFinitePressure} when `error` is not null.
    bool restoreSignature(std::vector<Stroke> strokes, Error* error = nullptr);
    /// The smoothing timer's action: the full redraw, with autorotation refused meanwhile.
    void SmoothRedraw();
    /// Removes the last finished stroke, if any, and redraws the pad.
    void undoSignature();

    // ---- Data export --------------------------------------------------------------------
    /// The signature as an AES-256-CBC encrypted point-stream record; nil without a signature
    /// or without `AESkey`. *AESkey receives the 48-byte key blob (key, then IV) wrapped with
    /// RSA PKCS#1 v1.5 for the pinned certificate, or nil if the wrap failed: check both. The
    /// first export installs the certificate from the resource Penwell.dat into the store.
    /// Throws AssertionFailure ("Penwell DAT resource missing") when neither has it.
    std::optional<Bytes> getSignatureData(std::optional<Bytes>* AESkey);
    /// Internal step of getSignatureData: the record encrypted under a fresh key and IV, which
    /// land in the two out-parameters; nil without a signature (the out-parameters untouched).
    std::optional<Bytes> _getSignatureData(std::optional<Bytes>* AESkey,
                                           std::optional<Bytes>* AESiv) const;
    /// Internal step of getSignatureData: `symmetricKey` encrypted for the pinned certificate.
    /// A failure is kept for lastExportFailure().
    std::optional<Bytes> wrapAESKey(ByteView symmetricKey);
    /// The evidence record (secure/Evidence.h), sealed for options.recipients or, without
    /// them, for the pinned certificate under the same preconditions, certificate and store as
    /// getSignatureData: DER CMS bytes, or the failure (no signature, bad options, the
    /// certificate's fault as lastExportFailure() words it, a recipient the CMS backend
    /// refuses, a CMS failure). Leaves the signature as it is. Without recipients, throws
    /// AssertionFailure ("Penwell DAT resource missing") as getSignatureData does.
    Result<Bytes> exportEvidence(const EvidenceOptions& options);
    /// Why the latest getSignatureData gave a nil result or a nil wrapped key: domain, code and
    /// one line naming what is at fault (the certificate store's file, Penwell.dat, the pin).
    /// nullopt before the first export and after one that gave everything it was asked for.
    const std::optional<Failure>& lastExportFailure() const { return exportFailure_; }
    /// While one lives, getSignatureData and exportEvidence share one encoding of the point
    /// stream, made when it is created: a host taking the record and the evidence of one
    /// signature (a Done) encodes the strokes once. The strokes must not change meanwhile (the
    /// exports run on the controller's thread, one after the other); the encoding is wiped when
    /// it ends.
    class SharedEncoding {
    public:
        explicit SharedEncoding(PenwellViewController& controller);
        ~SharedEncoding();
        SharedEncoding(const SharedEncoding&) = delete;
        SharedEncoding& operator=(const SharedEncoding&) = delete;

    private:
        PenwellViewController& controller_;
    };

    // ---- Rendering
    /// The stroke as a uniform Catmull-Rom polyline with `segments` steps per span between
    /// consecutive samples: every sample once, in order (as a knot carrying the sample), and
    /// segments - 1 new points inside each span, rounded to single precision. A stroke of
    /// fewer than 4 samples, or `segments` of 1 or less (negative included), gives the samples
    /// alone. The result owns copies of everything, so it stays valid after the stroke, or the
    /// stroke list holding it, changes.
    static SmoothedStroke catmullRomSpline(const Stroke& points, int segments);
    /// Repaints the pad from the finished strokes: the background, the pad's image over it,
    /// then every stroke (plain strokes smoothed while `smoothing` is on), and shows the
    /// result. The stroke being drawn, the live-ink context and its cursor are left alone. A
    /// pad of zero width or height, or no pad view, gets the background step only.
    void renderSignture();
    /// The ink of the finished strokes alone on a transparent image of the pad's frame size,
    /// painted as the redraw paints it; with `crop`, cut to the box of the drawn points widened
    /// by 20 points on every side and limited to the image. Refreshes the ink colour from
    /// `linecolor` first. Changes nothing else. Empty without a signature, without a pad view,
    /// for a pad of zero width or height, and when no bitmap of the image's size can be made:
    /// on a pad too large for one bitmap (wider or taller than 32767 pixels) the whole-pad
    /// image is empty, but the cropped one is made whenever the crop fits in a bitmap, as
    /// exportSignature's cropped PNG is.
    std::optional<Image> getSignatureImage(bool crop);
    /// The signature as a PNG at any scale from 1 to 8, or as an SVG or PDF document of vector
    /// ink, painted by the redraw's painter with the same ink; cropped with the same rectangle
    /// as getSignatureImage, on a transparent or `ibackcolor` background. A PNG at scale 1
    /// without background has getSignatureImage's pixels. The SVG's viewBox is in pad points
    /// with a unitless width and height equal to it (CSS pixels: the PNG's size at scale 1);
    /// the PDF page is the output's size in points. Empty
    /// without a signature, without a pad view, for a pad of zero width or height, for a scale
    /// outside [1, 8] (NaN included), or when the graphics cannot make the output. Documents
    /// need no bitmap, so they are made even for a pad too large for one; there the PNG is
    /// made exactly when getSignatureImage(crop) is: cropped, when the crop at the scale fits
    /// in a bitmap, never of the whole pad. Changes nothing but the ink colour, as
    /// getSignatureImage does.
    std::optional<ExportResult> exportSignature(const ExportOptions& options);
    /// What the pad shows, for a screen with `scale` pixels per point (1 to 8): the finished
    /// strokes and the stroke being drawn, painted at that scale by the export's painter (the
    /// ink's geometry is scaled, never a bitmap), transparent where there is no ink. Strokes
    /// are smoothed as on the pad: those of its last full redraw as that redraw painted them,
    /// those finished since not yet (the smoothing redraw comes after a pause). Empty
    /// without a pad view, for a pad of zero width or height, for a scale outside [1, 8], or
    /// when no bitmap that large can be made. Changes nothing but the ink colour. With `area`
    /// (in points, whole ones for pixels that match the whole picture's), only that part of
    /// the pad is painted, its origin at the image's: a screen's small update costs a small
    /// bitmap.
    std::optional<Image> getPadImage(double scale, std::optional<Rect> area = std::nullopt);

    // ---- Statistics
    /// Coefficient of variation (population standard deviation over mean) of the time between
    /// consecutive samples of each finished stroke, in two passes; intervals that start at a
    /// sample stamped 0 before a stroke has a non-zero reference are left out. NaN when no
    /// interval is left (an empty stroke list included) or every interval is 0.
    double calculateSigma() const;
    /// The same measure in one pass (Welford), counting every interval, the one after the
    /// touch-down included. 0.0 for an empty stroke list; NaN when no stroke has two samples
    /// or every interval is 0.
    double calculateSigma2() const;

    // ---- Configuration: setters only store; a value takes effect when next read ---------
    const std::shared_ptr<ImageView>& sigImage() const { return sigImage_; }
    void setSigImage(std::shared_ptr<ImageView> view) { sigImage_ = std::move(view); }
    bool smoothing() const { return smoothing_; }
    void setSmoothing(bool on) { smoothing_ = on; }
    float smoothingDelay() const { return smoothingDelay_; }
    void setSmoothingDelay(float seconds) { smoothingDelay_ = seconds; }
    const std::optional<Color>& ibackcolor() const { return ibackcolor_; }
    void setIbackcolor(std::optional<Color> color) { ibackcolor_ = std::move(color); }
    const std::optional<Color>& linecolor() const { return linecolor_; }
    void setLinecolor(std::optional<Color> color) { linecolor_ = std::move(color); }
    float lineWidth() const { return lineWidth_; }
    void setLineWidth(float width) { lineWidth_ = width; }
    int MinSigPoints() const { return MinSigPoints_; }
    void setMinSigPoints(int count) { MinSigPoints_ = count; }

    /// Background pictures for pad-class devices and for every other device, in portrait and
    /// landscape, with the top edge of each inside the pad in points.
    const std::optional<Image>& ipadport() const { return ipadport_; }
    void setIpadport(std::optional<Image> image) { ipadport_ = std::move(image); }
    const std::optional<Image>& ipadland() const { return ipadland_; }
    void setIpadland(std::optional<Image> image) { ipadland_ = std::move(image); }
    const std::optional<Image>& iphoneport() const { return iphoneport_; }
    void setIphoneport(std::optional<Image> image) { iphoneport_ = std::move(image); }
    const std::optional<Image>& iphoneland() const { return iphoneland_; }
    void setIphoneland(std::optional<Image> image) { iphoneland_ = std::move(image); }
    int ipadportY() const { return ipadportY_; }
    void setIpadportY(int y) { ipadportY_ = y; }
    int ipadlandY() const { return ipadlandY_; }
    void setIpadlandY(int y) { ipadlandY_ = y; }
    int iphoneportY() const { return iphoneportY_; }
    void setIphoneportY(int y) { iphoneportY_ = y; }
    int iphonelandY() const { return iphonelandY_; }
    void setIphonelandY(int y) { iphonelandY_ = y; }

    // ---- State, read-only ------------------------------------------------------------------
    /// The finished strokes, oldest first: the signature.
    const std::vector<Stroke>& lines() const { return _lines; }
    /// The stroke being drawn; empty between strokes.
    const Stroke& points() const { return _points; }
    bool isCollectingPoints() const { return collectPoints; }
    /// The interface orientation the pad was last prepared for.
    std::int64_t interfaceOrientation() const { return currentOrientation; }
    /// Whether the smoothing redraw is scheduled.
    bool smoothingPending() const { return timeout != nullptr; }
    /// The ink colour components derived from `linecolor` most recently.
    InkComponents inkComponents() const { return {red, green, blue, alpha}; }

private:
    /// The pad's size when the signature can be exported from it (a signature, a pad view, a
    /// bitmap of at least one pixel); refreshes the ink colour from `linecolor` first.
    std::optional<Size> exportablePadSize();
    bool padShowsLiveInk() const;
    void openLiveInk();
    void strokeLiveSegment(Point to);
    void showLiveInk();
    void finishStroke(const Touch& touch);
    void cancelSmoothingTimer();
    /// Records the pointer kind of the stroke just added to _lines.
    void noteStrokeKind(std::int64_t touchType);
    /// Runs `task` on the main queue unless this controller is destroyed first.
    void postToMainQueue(void (PenwellViewController::*task)());
    const std::optional<Image>& backgroundPicture(int& offset) const;

    Services services_;
    // Posted work holds this weakly: a controller destroyed before its posted clear runs is
    // simply not called. Keeping it alive instead would force hosts into shared ownership.
    std::shared_ptr<const bool> alive_ = std::make_shared<const bool>(true);
    NotificationCenter::Observation orientationObservation_;

    std::shared_ptr<ImageView> sigImage_;
    std::int64_t currentOrientation = 0;
    Point lastPoint;
    Point newPoint;
    bool collectPoints = false;
    // The live ink. Only touch capture uses these; the redraw and the export paint in contexts
    // of their own, so a host call during a stroke never disturbs the stroke.
    std::unique_ptr<GraphicsContext> contextRef;  // open from touch-down to touch-up
    std::optional<Point> liveCursor_;             // empty after a clear during a stroke
    double liveWidth_ = 0.0;                      // the width the next segment is drawn with
    std::vector<double> liveWidths_;              // per sample of _points: its segment's width
    std::uint64_t liveImage_ = 0;                 // identity of the pad image the ink last set
    double red = 0.0, green = 0.0, blue = 0.0, alpha = 0.0;
    Stroke _points;
    std::vector<Stroke> _lines;
    // What the pad's image holds of _lines: the first redrawnLines_ as the last full redraw
    // painted them (smoothed if redrawnSmoothing_), the rest as their live ink, never smoothed.
    std::size_t redrawnLines_ = 0;
    bool redrawnSmoothing_ = false;
    std::shared_ptr<Timer> timeout;
    std::optional<Image> ipadport_, ipadland_, iphoneport_, iphoneland_;
    int ipadportY_ = 0, ipadlandY_ = 0, iphoneportY_ = 0, iphonelandY_ = 0;
    std::optional<Color> ibackcolor_;
    std::optional<Color> linecolor_;
    float lineWidth_ = 3.0f;
    int MinSigPoints_ = 12;
    float smoothingDelay_ = 1.0f;
    bool smoothing_ = false;
    double tZero = 0.0;
    // An account of the last export, not part of the signature: the const internal step
    // records its encryption failure here too.
    mutable std::optional<Failure> exportFailure_;
    // The pointer kind of each finished stroke, for the evidence record. Entries past the end
    // of _lines (left by undo or a clear) are stale and cut off when read or extended;
    // restoreSignature replaces it with unknown kinds.
    std::vector<PointerKind> lineKinds_;
    /// The point stream while a SharedEncoding lives; see encodedStrokes().
    std::optional<Bytes> sharedEncoding_;
    /// The point stream of the finished strokes: the shared encoding's copy, else encoded now.
    Bytes encodedStrokes() const;
    std::int64_t pointsType_ = 0;  // the touch type of the stroke being drawn
};

}  // namespace penwell
