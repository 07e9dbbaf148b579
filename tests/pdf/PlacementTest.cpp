// Where the ink lands and how it stands, as readers draw the signed page (pdftoppm and
// mutool draw, both honouring /Rotate and the crop box), and the structures a signature fills:
// a field whose widget is a kid, a linearized file.

#include <gtest/gtest.h>

#include <cmath>

#include "pdf/Fixtures.h"

namespace penwell::pdftest {
namespace {

/// A rectangle on the drawn page, in pixels at 72 dpi from its top-left corner.
struct Shown {
    double left, top, width, height;
};

struct Placement {
    const char* name;
    const char* document;
    const char* rect;  ///< --rect
    Shown shown;       ///< where a reader shows it
};

class Placing : public Signing {
protected:
    static void SetUpTestSuite() {
        Signing::SetUpTestSuite();
        makeDocument(at("portrait.pdf"), 1);
        for (const int rotate : {90, 180, 270}) {
            run("qpdf --rotate=+" + std::to_string(rotate) + ":1 " + at("portrait.pdf").string() +
                " " + at("rotated-" + std::to_string(rotate) + ".pdf").string());
        }
        // A page whose boxes do not start at 0,0: the crop box shows 150,250 to 645,992.
        spit(at("offset.pdf"),
             pdfFromObjects({"<< /Type /Catalog /Pages 2 0 R >>",
                             "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
                             "<< /Type /Page /Parent 2 0 R /MediaBox [100 200 695 1042] /CropBox"
                             " [150 250 645 992] /Contents 4 0 R /Resources << >> >>",
                             "<< /Length 0 >>\nstream\n0 g 160 900 50 10 re f\nendstream"}));
        run(kTool + " replay " + kTrace + " --crop --pdf " + at("ink.pdf").string());
    }
};

// The ink is the controller's vector export fitted into the rectangle as the reader sees it,
// upright whatever the page's /Rotate: every ink pixel of the signed page (beyond the unsigned
// one) lies in the rectangle and has ink of the upright export, drawn at the fitted scale,
// within 1 pixel, and the other way round.
TEST_F(Placing, TheInkStandsUprightInTheRectangleTheReaderSees) {
    const Placement cases[] = {
        {"upright page", "portrait.pdf", "300,100,200,80", {300, 842 - 180, 200, 80}},
        // Turned clockwise: x grows down the shown page, y to the right.
        {"/Rotate 90", "rotated-90.pdf", "300,100,80,200", {100, 300, 200, 80}},
        {"/Rotate 180", "rotated-180.pdf", "300,100,200,80", {595 - 500, 100, 200, 80}},
        {"/Rotate 270", "rotated-270.pdf", "300,100,80,200", {842 - 300, 595 - 380, 200, 80}},
        // From the crop box's corner: 160,270 to 360,350 in user space.
        {"offset boxes", "offset.pdf", "10,20,200,80", {10, 992 - 350, 200, 80}},
    };
    const Grey ink1 = render(at("ink.pdf"), 72, at("ink1"));
    for (const Placement& c : cases) {
        for (const Renderer renderer : {Renderer::Poppler, Renderer::Mupdf}) {
            SCOPED_TRACE(std::string(c.name) +
                         (renderer == Renderer::Poppler ? " (pdftoppm)" : " (mutool)"));
            const std::string out = std::string("placed-") + c.document;
            ASSERT_EQ(sign(c.document, out, std::string("--page 1 --rect ") + c.rect).status, 0);
            const Grey before = render(at(c.document), 72, at("before"), renderer);
            const Grey after = render(at(out), 72, at("after"), renderer);
            const Shown& r = c.shown;
            const double scale = std::min(r.width / ink1.width, r.height / ink1.height);
            const Grey ink = render(at("ink.pdf"), 72 * scale, at("ink"));
            const int left = static_cast<int>(std::lround(r.left + (r.width - ink.width) / 2.0));
            const int top = static_cast<int>(std::lround(r.top + (r.height - ink.height) / 2.0));
            auto near = [](const Grey& g, int x, int y) {
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx)
                        if (g.ink(x + dx, y + dy))
                            return true;
                return false;
            };
            int inked = 0, stray = 0, unmatched = 0;
            for (int y = 0; y < after.height; ++y) {
                for (int x = 0; x < after.width; ++x) {
                    if (after.ink(x, y) == before.ink(x, y))
                        continue;
                    const bool inside = x >= r.left - 1 && x <= r.left + r.width + 1 &&
                                        y >= r.top - 1 && y <= r.top + r.height + 1;
                    ++(inside ? inked : stray);
                    unmatched += inside && !near(ink, x - left, y - top);
                }
            }
            for (int y = 0; y < ink.height; ++y)
                for (int x = 0; x < ink.width; ++x)
                    unmatched += ink.ink(x, y) && !near(after, x + left, y + top);
            EXPECT_GT(inked, 300);
            EXPECT_EQ(stray, 0);
            EXPECT_EQ(unmatched, 0);
        }
    }
    // The widget records the page's turn, as editors do for an upright widget.
    const auto turned = open(slurp(at("placed-rotated-270.pdf")));
    QPDFObjectHandle widget =
        turned->getRoot().getKey("/AcroForm").getKey("/Fields").getArrayItem(0);
    EXPECT_EQ(widget.getKey("/MK").getKey("/R").getIntValue(), 270);
    // The offset page's widget lies where the crop box's corner puts it.
    const auto offset = open(slurp(at("placed-offset.pdf")));
    const QPDFObjectHandle::Rectangle rect = offset->getRoot()
                                                 .getKey("/AcroForm")
                                                 .getKey("/Fields")
                                                 .getArrayItem(0)
                                                 .getKey("/Rect")
                                                 .getArrayAsRectangle();
    EXPECT_EQ(std::vector<double>({rect.llx, rect.lly, rect.urx, rect.ury}),
              std::vector<double>({160, 270, 360, 350}));
    const Shell off = sign("offset.pdf", "off.pdf", "--page 1 --rect 400,20,100,40");
    EXPECT_EQ(off.status, 1);
    EXPECT_NE(off.output.find("lies off page 1, whose crop box is 495 by 742 points"),
              std::string::npos)
        << off.output;
}

// A field whose widget is a kid: the value and the evidence go on the field, where PDFBox and
// Acrobat read them; the appearance on the widget, with the same value, where poppler and mupdf
// read it.
TEST_F(Placing, AFieldWithAKidWidgetGetsTheValueOnTheField) {
    spit(at("kid.pdf"),
         pdfFromObjects({"<< /Type /Catalog /Pages 2 0 R /AcroForm << /Fields [4 0 R] >> >>",
                         "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
                         "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 400 300] /Annots [5 0 R]"
                         " >>",
                         "<< /FT /Sig /T (Approval) /Kids [5 0 R] >>",
                         "<< /Type /Annot /Subtype /Widget /Parent 4 0 R /F 4 /Rect [100 100 300"
                         " 160] /P 3 0 R >>"}));
    ASSERT_EQ(sign("kid.pdf", "kid-signed.pdf", "--field Approval").status, 0);
    const auto signedPdf = open(slurp(at("kid-signed.pdf")));
    QPDFObjectHandle field = signedPdf->getObject(4, 0), widget = signedPdf->getObject(5, 0);
    EXPECT_TRUE(field.getKey("/V").isDictionary());
    EXPECT_TRUE(field.getKey("/AF").isArray());
    EXPECT_EQ(widget.getKey("/V").getObjGen(), field.getKey("/V").getObjGen());
    EXPECT_FALSE(widget.hasKey("/AF"));
    EXPECT_TRUE(widget.getKey("/AP").getKey("/N").isStream());
    expectSound("kid-signed.pdf");
    EXPECT_EQ(mutoolValidation(at("kid-signed.pdf")).count("Approval"), 1u);
    const Shell v = verify("kid-signed.pdf", "--private-key " PENWELL_SOURCE_DIR
                                             "/demo-certificate/demo-private-key.pem");
    EXPECT_EQ(v.status, 0) << v.output;
    EXPECT_NE(v.output.find("evidence: bound to the signed revision"), std::string::npos)
        << v.output;
}

// A linearized file's first-page section names the main section after it: the chain of
// updates goes forward once, and a signature over it is whole and unchanged.
TEST_F(Placing, ALinearizedFileSignsAndVerifies) {
    makeDocument(at("two-pages.pdf"), 2);
    run("qpdf --linearize " + at("two-pages.pdf").string() + " " + at("linear.pdf").string());
    ASSERT_NE(run("qpdf --check-linearization " + at("linear.pdf").string())
                  .output.find("no linearization errors"),
              std::string::npos);
    ASSERT_EQ(sign("linear.pdf", "linear-1.pdf", "--page 2 --rect 300,100,200,80").status, 0);
    ASSERT_EQ(sign("linear-1.pdf", "linear-2.pdf", "--page 1 --rect 300,100,200,80").status, 0);
    for (const std::string file : {"linear-1.pdf", "linear-2.pdf"}) {
        SCOPED_TRACE(file);
        expectSound(file);
        const Shell v = verify(file);
        EXPECT_EQ(v.status, 0) << v.output;
        EXPECT_EQ(v.output.find("only incremental updates after it: NO"), std::string::npos);
    }
    EXPECT_NE(verify("linear-2.pdf").output.find("changes after it: signatures and validation"),
              std::string::npos);
}

}  // namespace
}  // namespace penwell::pdftest
