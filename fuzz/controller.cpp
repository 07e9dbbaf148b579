// The controller under a hostile host: the input's bytes choose a sequence of touches (NaN,
// infinite, huge and negative positions, forces and times; time going backwards; long
// coalesced lists), host calls, property changes, pad replacement and removal, rotations, run
// loop advancing, lifecycle calls and destruction with work pending. Any order must be safe.

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <vector>

#include "penwell/capture/Penwell.h"
#include "penwell/fuzz/FuzzInput.h"
#include "penwell/fuzz/FuzzServices.h"

using namespace penwell;

namespace {

// A frame's side: ordinary, empty, beyond what a bitmap can be, or not a number. Sides between
// 512 and 32767 points only cost memory and time here; the graphics tests cover them.
double padSide(fuzz::FuzzInput& in) {
    switch (in.pick(8)) {
        case 0:
            return 0.0;
        case 1:
            return 40000.0;
        case 2:
            return std::numeric_limits<double>::infinity();
        case 3:
            return std::numeric_limits<double>::quiet_NaN();
        case 4:
            return -5.0;
        default:
            return 1.0 + in.pick(255) * 2.0;
    }
}

Color color(fuzz::FuzzInput& in) {
    if (in.flag()) {
        return Color::grey(in.number(0, 1), in.number(0, 1));
    }
    return Color::rgb(in.number(0, 1), in.number(0, 1), in.number(0, 1), in.number(0, 1));
}

Touch touch(fuzz::FuzzInput& in, double& clock) {
    // Mostly forward in time, sometimes backwards or wild.
    clock = in.pick(4) == 0 ? in.number(-1, 1e6) : clock + in.number(-0.01, 0.05);
    const std::int64_t type = in.pick(4) == 0 ? in.pick(4) : touch_type::kStylus * in.pick(2);
    return Touch{{in.number(-20, 300), in.number(-20, 300)}, clock, in.number(0, 6), type};
}

struct Session {
    headless::HeadlessHost host;
    Services services = fuzz::services(host);
    std::shared_ptr<ImageView> pad = std::make_shared<ImageView>(Rect{{0, 0}, {64, 48}});
    std::unique_ptr<PenwellViewController> controller;
    double clock = 0.0;
    int dataExports = 0;

    Session() { reset(); }

    void reset() {
        controller = std::make_unique<PenwellViewController>(services);
        controller->setSigImage(pad);
    }

    void step(fuzz::FuzzInput& in) {
        PenwellViewController& c = *controller;
        switch (in.pick(20)) {
            case 0:
                c.touchesBegan(TouchSet{touch(in, clock)}, Event{});
                break;
            case 1:
            case 2: {
                std::vector<Touch> coalesced(1 + in.pick(in.flag() ? 64 : 4));
                for (Touch& t : coalesced) {
                    t = touch(in, clock);
                }
                const TouchSet set{coalesced.back()};
                c.touchesMoved(set, Event(std::move(coalesced)));
                break;
            }
            case 3:
                c.touchesEnded(TouchSet{touch(in, clock)}, Event{});
                break;
            case 4:
                c.touchesCancelled(in.flag() ? TouchSet{} : TouchSet{touch(in, clock)}, Event{});
                break;
            case 5:
                in.flag() ? c.undoSignature() : c.clearSignature();
                break;
            case 6:
                in.flag() ? c.renderSignture() : c.SmoothRedraw();
                break;
            case 7:
                switch (in.pick(3)) {
                    case 0:
                        (void)c.getSignatureImage(in.flag());
                        break;
                    case 1:
                        // Scales up to 3: larger ones only cost memory on the larger pads.
                        // Documents need no bitmap, but nothing is exported without a signature.
                        if (c.exportSignature({static_cast<ExportFormat>(in.pick(3)),
                                               in.number(0, 3), in.flag(), in.flag()}) &&
                            !c.isSignature()) {
                            std::abort();
                        }
                        break;
                    default: {
                        // Strokes as a host hands them back, hostile numbers and all; a
                        // refusal must leave the strokes as they were.
                        std::vector<Stroke> strokes(in.pick(3));
                        for (Stroke& stroke : strokes) {
                            for (unsigned i = in.pick(16); i > 0; --i) {
                                stroke.push_back(_point({in.number(-20, 300), in.number(-20, 300)},
                                                        in.pick(255), in.number(0, 6)));
                            }
                        }
                        // Bit for bit: touches may have stored NaN, which equals nothing.
                        auto bits = [](const std::vector<Stroke>& lines) {
                            std::vector<std::uint8_t> all;
                            for (const Stroke& stroke : lines) {
                                const auto* p =
                                    reinterpret_cast<const std::uint8_t*>(stroke.data());
                                all.insert(all.end(), p, p + stroke.size() * sizeof(_point));
                                all.push_back(0xff);  // the stroke's end
                            }
                            return all;
                        };
                        const auto before = bits(c.lines());
                        if (!c.restoreSignature(strokes) && bits(c.lines()) != before) {
                            std::abort();
                        }
                    }
                }
                break;
            case 8:
                // PBKDF2 makes a data export cost milliseconds: a few per input are enough.
                if (dataExports++ < 2) {
                    std::optional<Bytes> key;
                    (void)c.getSignatureData(in.flag() ? &key : nullptr);
                }
                break;
            case 9:
                c.setLineWidth(in.single(0, 40));
                break;
            case 10:
                c.setSmoothing(in.flag());
                c.setSmoothingDelay(in.single(0, 2));
                break;
            case 11:
                in.flag() ? c.setLinecolor(in.flag() ? std::optional<Color>() : color(in))
                          : c.setIbackcolor(in.flag() ? std::optional<Color>() : color(in));
                break;
            case 12:
                c.setMinSigPoints(in.integer(-5, 40));
                break;
            case 13: {
                std::optional<Image> picture;
                if (in.flag()) {
                    picture = Image::transparent(1 + in.pick(64), 1 + in.pick(64));
                }
                in.flag() ? c.setIphoneport(picture) : c.setIpadland(picture);
                c.setIphoneportY(in.integer(-100, 100));
                break;
            }
            case 14:
                // A new pad (of any frame), the same pad with a new frame, or none at all.
                switch (in.pick(3)) {
                    case 0:
                        pad = std::make_shared<ImageView>(Rect{
                            {in.number(-50, 50), in.number(-50, 50)}, {padSide(in), padSide(in)}});
                        c.setSigImage(pad);
                        break;
                    case 1:
                        pad->setFrame({{0, 0}, {padSide(in), padSide(in)}});
                        break;
                    default:
                        c.setSigImage(nullptr);
                }
                break;
            case 15:
                host.application->rotateTo(in.pick(6));
                host.device->setUserInterfaceIdiom(in.pick(3) == 0
                                                       ? std::optional<std::int64_t>()
                                                       : std::optional<std::int64_t>(in.pick(2)));
                break;
            case 16:
                in.flag() ? host.runLoop->runPending() : host.runLoop->advance(in.number(0, 3));
                break;
            case 17:
                switch (in.pick(5)) {
                    case 0:
                        try {
                            c.viewWillAppear(in.flag());
                        } catch (const Exception&) {
                            // no pad view: the documented answer
                        }
                        break;
                    case 1:
                        c.viewWillDisappear(in.flag());
                        break;
                    case 2:
                        c.viewDidUnload();
                        break;
                    case 3:
                        c.viewDidLoad();
                        break;
                    default:
                        c.initialize();
                        c.setSigImage(pad);
                }
                break;
            case 18:
                (void)c.calculateSigma();
                (void)c.calculateSigma2();
                (void)c.isSignature();
                (void)c.shouldAutorotate();
                break;
            default:
                reset();  // destroyed with its clear or its smoothing timer still pending
                break;
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput in(data, size);
    Session session;
    for (int steps = 0; steps < 256 && !in.empty(); ++steps) {
        session.step(in);
    }
    session.host.runLoop->advance(5.0);  // let every timer and posted clear run
    (void)renderView(*session.services.graphics, *session.pad);
    return 0;
}
