#pragma once
// Stand-ins for the toolkit's view-controller base and image view.

#include <cstdint>
#include <optional>
#include <vector>

#include "penwell/platform/Color.h"
#include "penwell/platform/Geometry.h"
#include "penwell/platform/Image.h"
#include "penwell/platform/Touch.h"

namespace penwell {

/// Interface orientations, as the status bar reports them.
namespace orientation {
inline constexpr std::int64_t kUnknown = 0;
inline constexpr std::int64_t kPortrait = 1;
inline constexpr std::int64_t kPortraitUpsideDown = 2;
inline constexpr std::int64_t kLandscapeRight = 3;
inline constexpr std::int64_t kLandscapeLeft = 4;
/// Portrait, portrait upside down, landscape left and right.
inline constexpr std::uint64_t kMaskAll = (1u << 1) | (1u << 2) | (1u << 3) | (1u << 4);
}  // namespace orientation

/// An image view: a frame in its superview's coordinates, an image and a background colour.
/// The image is shown over the background colour, so transparent pixels show the colour.
class ImageView {
public:
    explicit ImageView(Rect frame = {}) : frame_(frame) {}

    Rect frame() const { return frame_; }
    void setFrame(Rect frame) { frame_ = frame; }
    /// The view's own space: origin (0, 0) and the frame's size (views are not transformed).
    Rect bounds() const { return {{0, 0}, frame_.size}; }

    const std::optional<Image>& image() const { return image_; }
    void setImage(std::optional<Image> image) { image_ = std::move(image); }

    const std::optional<Color>& backgroundColor() const { return backgroundColor_; }
    void setBackgroundColor(std::optional<Color> color) { backgroundColor_ = std::move(color); }

private:
    Rect frame_;
    std::optional<Image> image_;
    std::optional<Color> backgroundColor_;
};

/// The view-controller base: lifecycle, autorotation and touch callbacks that a toolkit calls
/// on its main thread. The defaults do what the toolkit's base class does: nothing, or yes.
class ViewController {
public:
    virtual ~ViewController() = default;

    virtual void viewDidLoad() { loaded_ = true; }
    virtual void viewWillAppear(bool /*animated*/) { visible_ = true; }
    virtual void viewWillDisappear(bool /*animated*/) { visible_ = false; }
    virtual void viewDidUnload() { loaded_ = false; }

    virtual bool shouldAutorotate() const { return true; }
    virtual bool shouldAutorotateToInterfaceOrientation(std::int64_t o) const {
        return o == orientation::kPortrait;
    }
    virtual std::uint64_t supportedInterfaceOrientations() const {
        return orientation::kMaskAll & ~(1u << orientation::kPortraitUpsideDown);
    }

    virtual void touchesBegan(const TouchSet& /*touches*/, const Event& /*event*/) {}
    virtual void touchesMoved(const TouchSet& /*touches*/, const Event& /*event*/) {}
    virtual void touchesEnded(const TouchSet& /*touches*/, const Event& /*event*/) {}
    virtual void touchesCancelled(const TouchSet& /*touches*/, const Event& /*event*/) {}

    /// Whether the base's viewDidLoad ran (and viewDidUnload did not since).
    bool isViewLoaded() const { return loaded_; }
    /// Whether the base's viewWillAppear ran more recently than its viewWillDisappear.
    bool isAppearing() const { return visible_; }

private:
    bool loaded_ = false;
    bool visible_ = false;
};

}  // namespace penwell
