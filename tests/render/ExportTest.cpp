#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>

#include "penwell/platform/cairo/CairoGraphics.h"
#include "render/RenderTestSupport.h"
#include "penwell/render/StrokePainter.h"
#include "support/CertificateFixtures.h"

namespace penwell {
namespace {

using testing::clear;
using testing::inked;
using testing::ShownPad;
using testing::solidImage;
using testing::strokeThrough;
using testing::TestPad;

/// A plain stroke of 13 samples (one more than the default threshold) on the straight line
/// from `a` to `b`, both included.
Stroke thirteenSamples(Point a, Point b) {
    Stroke s;
    for (int i = 0; i <= 12; ++i) {
        const double f = i / 12.0;
        s.push_back(_point::initwith({a.x + f * (b.x - a.x), a.y + f * (b.y - a.y)},
                                     static_cast<std::uint64_t>(i) * 8, 0.0));
    }
    s.back() = _point::initwith(b, 96, 0.0);  // exactly b, whatever the rounding above
    return s;
}

TEST(SignatureImage, UncroppedIsThePadsSizeTransparentWithoutInkAndInTheNewLinecolor) {
    TestPad t({300, 400});
    t.controller->setIphoneport(solidImage(300, 400, kRed));
    t.controller->setIbackcolor(Color::rgb(0, 1, 0));
    t.show();
    ASSERT_TRUE(t.controller->restoreSignature({thirteenSamples({20, 20}, {200, 20})}));
    // A new linecolor is used at once, though the pad still shows the old ink.
    t.controller->setLinecolor(Color::rgb(1, 0, 0));
    const std::optional<Image> image = t.controller->getSignatureImage(false);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width(), 300);
    EXPECT_EQ(image->height(), 400);
    EXPECT_EQ(image->pixel(100, 20), kRed);
    // The pad: one pixel per point, the old ink over the picture.
    EXPECT_EQ(t.pad->image()->pixel(100, 20), kBlue);
    EXPECT_EQ(t.pad->image()->pixel(299, 399), kRed);
    EXPECT_EQ(t.controller->inkComponents(), (InkComponents{1, 0, 0, 1}));
    EXPECT_TRUE(clear(*image, 100, 60));
    EXPECT_TRUE(clear(*image, 299, 399));
}

TEST(SignatureImage, CropIsTheBoxOfThePointsWithATwentyPointMarginInWholePixels) {
    const struct {
        Point from, to;
        PixelRect crop;
    } cases[] = {
        {{100, 50}, {300, 150}, {80, 30, 240, 140}},
        {{5, 50}, {205, 150}, {0, 30, 225, 140}},  // the box starts at x = -15: 15 narrower
        // x from 80.5 to 320.25 and y from 30.25 to 170.75 become pixels 80..320 and 30..170.
        {{100.5, 50.25}, {300.25, 150.75}, {80, 30, 241, 141}},
    };
    for (const auto& c : cases) {
        ShownPad t({400, 300});
        t.restore({thirteenSamples(c.from, c.to)});
        const std::optional<Image> full = t.controller->getSignatureImage(false);
        const std::optional<Image> cropped = t.controller->getSignatureImage(true);
        ASSERT_TRUE(full && cropped);
        EXPECT_EQ(cropped->width(), c.crop.width) << c.from.x;
        EXPECT_EQ(cropped->height(), c.crop.height) << c.from.x;
        EXPECT_TRUE(cropped->samePixels(full->cropped(c.crop))) << c.from.x;
    }
}

TEST(SignatureImage, SmoothingChangesTheBoxAndThePixelsButNotTheStrokes) {
    ShownPad t;
    t.controller->setMinSigPoints(4);
    const Stroke zigzag = strokeThrough({{50, 50}, {150, 50}, {150, 150}, {50, 150}, {50, 250}});
    const std::vector<Stroke> strokes{Stroke{}, zigzag, Stroke{}};
    t.restore(strokes);  // empty strokes do not widen the box
    std::optional<Image> cropped = t.controller->getSignatureImage(true);
    ASSERT_TRUE(cropped);
    EXPECT_EQ(cropped->width(), 140);
    EXPECT_EQ(cropped->height(), 240);
    EXPECT_TRUE(inked(t.image(), 150, 100));
    EXPECT_FALSE(inked(t.image(), 162, 100));

    // Smoothed, the points reach from (42.96875, 42.96875) to (162.5, 250): the middle span
    // bulges out to x = 162.5 halfway down and leaves the straight side.
    t.controller->setSmoothing(true);
    cropped = t.controller->getSignatureImage(true);
    ASSERT_TRUE(cropped);
    EXPECT_EQ(cropped->width(), 161);
    EXPECT_EQ(cropped->height(), 248);
    t.controller->renderSignture();
    EXPECT_TRUE(inked(t.image(), 162, 100));
    EXPECT_FALSE(inked(t.image(), 150, 100));
    EXPECT_EQ(t.controller->lines(), strokes);
}

/// A signature of every kind of ink: a plain line, a stylus stroke of growing width and a
/// plain curve leaving the pad, 5 points wide.
ShownPad signedPad(bool smoothing = false) {
    ShownPad t;
    t.controller->setLineWidth(5);
    t.controller->setSmoothing(smoothing);
    Stroke stylus = strokeThrough({{40, 300}}, 0.5);
    stylus.push_back(_point::initwith({140, 320}, 8, 1.5));
    stylus.push_back(_point::initwith({240, 300}, 16, 3.0));
    t.restore({thirteenSamples({30.5, 40}, {200, 90.25}), stylus,
               strokeThrough({{30, 100}, {-1, 150}, {130, 200}, {230, 160}})});
    return t;
}

/// The box of the pixels more than half covered, as {left, top, right, bottom} (exclusive).
PixelRect inkBounds(const Image& image) {
    PixelRect box;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (inked(image, x, y)) {
                box = box.united({x, y, 1, 1});
            }
        }
    }
    return box;
}

TEST(SignatureImage, MidStrokeLeavesTheLiveInkAlone) {
    ShownPad t;
    auto& c = *t.controller;
    t.restore({thirteenSamples({20, 20}, {200, 80})});
    t.down({200, 300}, 1.0);
    t.move({210, 310}, 1.01);
    const Stroke inProgress = c.points();
    const Image pad = t.image();
    EXPECT_TRUE(c.getSignatureImage(false));
    EXPECT_TRUE(c.exportSignature({ExportFormat::SVG, 1.0, true, true}));
    EXPECT_EQ(c.points(), inProgress);
    EXPECT_TRUE(t.image().samePixels(pad));
    // The stroke carries on from where it was, over the same pad.
    t.move({260, 310}, 1.02);
    EXPECT_TRUE(inked(t.image(), 205, 305));
    EXPECT_TRUE(inked(t.image(), 250, 310));
    EXPECT_TRUE(inked(t.image(), 110, 50));
}

// Over a transparent pad the redraw's image is the ink alone, so the signature image must agree
// with it pixel for pixel (the same strokes, widths, smoothing and painting order), and the PNG
// at scale 1 with the signature image; neither touches the pad or the strokes. Bands are layers
// of the context they are painted for: at a scale they are scaled too, and lie where the whole
// run would have painted (opaque ink: the very pixels).
TEST(Export, PngAtScaleOneIsTheRedrawAndScaledInkKeepsItsGeometry) {
    for (bool smoothing : {false, true}) {
        ShownPad t = signedPad(smoothing);
        const Image pad = t.image();
        const std::vector<Stroke> strokes = t.controller->lines();
        for (bool crop : {false, true}) {
            const auto where = ::testing::Message()
                               << "smoothing " << smoothing << " crop " << crop;
            const std::optional<Image> reference = t.controller->getSignatureImage(crop);
            const auto one = t.controller->exportSignature({ExportFormat::PNG, 1.0, crop, false});
            ASSERT_TRUE(reference && one) << where;
            EXPECT_TRUE(one->image.samePixels(*reference)) << where;
            EXPECT_TRUE(crop || reference->samePixels(pad)) << where;
            EXPECT_EQ(Bytes(one->bytes.begin(), one->bytes.begin() + 4),
                      (Bytes{0x89, 'P', 'N', 'G'}));
            const PixelRect bounds = inkBounds(one->image);
            for (int s : {2, 3}) {
                const auto scaled =
                    t.controller->exportSignature({ExportFormat::PNG, double(s), crop, false});
                ASSERT_TRUE(scaled) << where;
                EXPECT_EQ(scaled->rect, one->rect) << where;
                EXPECT_EQ(scaled->image.width(), s * one->image.width()) << where;
                EXPECT_EQ(scaled->image.height(), s * one->image.height()) << where;
                // Edges of antialiased ink move by up to a pixel either way at each scale.
                const PixelRect b = inkBounds(scaled->image);
                EXPECT_NEAR(b.x, s * bounds.x, s) << where << " scale " << s;
                EXPECT_NEAR(b.y, s * bounds.y, s) << where << " scale " << s;
                EXPECT_NEAR(b.right(), s * bounds.right(), s) << where << " scale " << s;
                EXPECT_NEAR(b.bottom(), s * bounds.bottom(), s) << where << " scale " << s;
            }
        }
        EXPECT_TRUE(t.image().samePixels(pad)) << smoothing;
        EXPECT_EQ(t.controller->lines(), strokes);
        auto paint = [&](std::size_t pointsPerBand) {
            auto context = t.services.graphics->beginImageContext({300, 400}, 2.0);
            render::paintStrokes(*context, strokes, {0, 0, 1, 1, 5}, smoothing, nullptr,
                                 pointsPerBand);
            return context->makeImage();
        };
        EXPECT_TRUE(paint(4).samePixels(paint(1 << 20))) << smoothing << " (bands)";
    }
    ShownPad t = signedPad();
    for (double scale : {0.5, 8.5, std::nan("")}) {
        EXPECT_FALSE(t.controller->exportSignature({ExportFormat::PNG, scale, false, false}));
    }
}

/// The real graphics, noting the most pixels any bitmap context was made with.
class MeasuringGraphics final : public Graphics {
public:
    explicit MeasuringGraphics(std::shared_ptr<Graphics> real) : real_(std::move(real)) {}
    std::unique_ptr<GraphicsContext> beginImageContext(
        Size size, double scale, const std::optional<PixelRect>& pixels) override {
        auto context = real_->beginImageContext(size, scale, pixels);
        if (context) {
            largest = std::max(largest, std::lround(context->size().width * scale) *
                                            std::lround(context->size().height * scale));
        }
        return context;
    }
    std::unique_ptr<DocumentContext> beginDocumentContext(DocumentFormat f, Rect area) override {
        return real_->beginDocumentContext(f, area);
    }
    std::optional<Bytes> encodePng(const Image& image) override { return real_->encodePng(image); }
    long largest = 0;

private:
    std::shared_ptr<Graphics> real_;
};

// A cropped PNG paints no pixel beyond the crop, yet its pixels are the whole pad's export's
// there, at whole and fractional scales and for a run long enough to be painted in bands.
TEST(Export, CroppedPngPaintsOnlyTheCropWithTheWholeExportsPixels) {
    Stroke wave;
    for (int i = 0; i < 1200; ++i) {
        wave.push_back(
            _point::initwith({150 + 120 * std::sin(i * 0.05), 150 + 70 * std::sin(i * 0.013)},
                             static_cast<std::uint64_t>(i) * 4, 0.0));
    }
    const struct {
        std::vector<Stroke> strokes;
        Rect crop;  // the ink's points widened by 20 points, cut at the pad
    } cases[] = {
        {signedPad(true).controller->lines(), {{0, 20}, {260, 320}}},
        {{wave}, {{10.0, 60.0}, {280.0, 180.0}}},
    };
    for (const auto& c : cases) {
        ShownPad t;
        auto graphics = std::make_shared<MeasuringGraphics>(t.services.graphics);
        t.services.graphics = graphics;
        t.controller = std::make_unique<PenwellViewController>(t.services);
        t.controller->setSigImage(t.pad);
        t.controller->setLineWidth(5);
        t.controller->setSmoothing(true);
        t.restore(c.strokes);
        for (double s : {1.0, 2.5, 8.0}) {
            const auto full = t.controller->exportSignature({ExportFormat::PNG, s, false, true});
            graphics->largest = 0;
            const auto crop = t.controller->exportSignature({ExportFormat::PNG, s, true, true});
            ASSERT_TRUE(full && crop);
            EXPECT_EQ(full->rect, (Rect{{0, 0}, {300, 400}}));
            const Rect r = crop->rect;
            EXPECT_NEAR(r.origin.x, c.crop.origin.x, 1 / s) << s;
            EXPECT_NEAR(r.origin.y, c.crop.origin.y, 1 / s) << s;
            EXPECT_NEAR(r.size.height, c.crop.size.height, 2 / s) << s;
            const PixelRect pixels{static_cast<int>(std::lround(r.origin.x * s)),
                                   static_cast<int>(std::lround(r.origin.y * s)),
                                   crop->image.width(), crop->image.height()};
            EXPECT_EQ(graphics->largest, long{pixels.width} * pixels.height) << s;
            EXPECT_TRUE(crop->image.samePixels(full->image.cropped(pixels))) << s;
        }
        for (ExportFormat format : {ExportFormat::SVG, ExportFormat::PDF}) {
            const auto document = t.controller->exportSignature({format, 1, true, false});
            ASSERT_TRUE(document);
            EXPECT_EQ(document->rect, c.crop);
            EXPECT_EQ(document->image.width(), 0);
        }
    }
}

/// What an independent renderer makes of a document, at one pixel per point.
std::optional<Image> rasterise(const Bytes& document, ExportFormat format) {
    const test::TempDir folder;
    const auto in = folder.path() / (format == ExportFormat::SVG ? "in.svg" : "in.pdf");
    test::writeFile(in, document);
    const auto out = folder.path() / "out.png";
    // The SVG at its own size in CSS pixels, whatever the resolution; the PDF at 72 dots per
    // inch, one pixel per point.
    const std::string command =
        format == ExportFormat::SVG
            ? "rsvg-convert --dpi-x 300 --dpi-y 300 -o '" + out.string() + "' '" + in.string() + "'"
            : "pdftoppm -png -r 72 -singlefile '" + in.string() + "' '" +
                  (folder.path() / "out").string() + "'";
    if (std::system(command.c_str()) != 0) {
        return std::nullopt;
    }
    return cairo::readPng(out);
}

// The documents' tolerance of antialiasing differences: every channel (premultiplied) within
// 96 of 255, and at most 3% of the ink's pixels off by more than 48. Measured: rsvg-convert
// (librsvg, which paints through Cairo as well) gives the PNG's very pixels; pdftoppm
// (poppler's own rasteriser) differs by at most 72, on 1.2% of the ink's pixels, all along
// edges. Missing ink, a wrong width or colour, or a shifted stroke differ far more.
TEST(Export, DocumentsRasterisedByOtherRenderersMatchThePng) {
    if (std::system("command -v rsvg-convert pdftoppm > /dev/null") != 0) {
        GTEST_SKIP() << "needs rsvg-convert (librsvg2-bin) and pdftoppm (poppler-utils)";
    }
    constexpr int kTolerance = 96;
    const struct {
        ExportFormat format;
        bool crop, background;
    } cases[] = {
        {ExportFormat::SVG, false, false},
        {ExportFormat::SVG, true, true},
        {ExportFormat::PDF, false, true},  // a PDF viewer shows transparency as white paper
        {ExportFormat::PDF, true, true},
    };
    ShownPad t = signedPad(true);
    t.controller->setIbackcolor(Color::rgb(1, 1, 0.5));
    for (const auto& c : cases) {
        const auto where = ::testing::Message()
                           << (c.format == ExportFormat::SVG ? "SVG" : "PDF") << " crop " << c.crop;
        const auto png =
            t.controller->exportSignature({ExportFormat::PNG, 1, c.crop, c.background});
        const auto alone = t.controller->exportSignature({ExportFormat::PNG, 1, c.crop, false});
        const auto document = t.controller->exportSignature({c.format, 1, c.crop, c.background});
        ASSERT_TRUE(png && alone && document) << where;
        const std::optional<Image> raster = rasterise(document->bytes, c.format);
        ASSERT_TRUE(raster) << where;
        ASSERT_EQ(raster->size(), png->image.size()) << where;
        int ink = 0, off = 0, worst = 0;
        for (int y = 0; y < raster->height(); ++y) {
            for (int x = 0; x < raster->width(); ++x) {
                const Rgba a = raster->pixel(x, y), b = png->image.pixel(x, y);
                const int d =
                    std::max({std::abs(a.r * a.a - b.r * b.a) / 255,
                              std::abs(a.b * a.a - b.b * b.a) / 255, std::abs(a.a - b.a)});
                worst = std::max(worst, d);
                ink += alone->image.pixel(x, y).a > 0 ? 1 : 0;
                off += d > 48 ? 1 : 0;
            }
        }
        EXPECT_LE(worst, kTolerance) << where;
        EXPECT_LE(off, ink * 3 / 100) << where << " (" << off << " of " << ink << ")";
    }
}

}  // namespace
}  // namespace penwell
