#pragma once
// What the desk's tests sign with: a PDF made here (QPdfWriter), an operator key pair made by
// the tool (`cert new --operator`), the demo certificate's folder, and a desk over them.

#include <gtest/gtest.h>

#include <QColor>
#include <QProcess>
#include <QString>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "penwell/host/qt/desk/Desk.h"
#include "support/CertificateFixtures.h"

namespace penwell::qt::testing {

inline const std::filesystem::path kDemoResources = PENWELL_SOURCE_DIR "/demo-certificate";

/// The band the test PDF shows across its first page, in PDF points from the page's top-left
/// corner, and its colour: the screenshot finds it there.
inline constexpr double kBandTop = 60, kBandHeight = 90, kBandLeft = 60, kBandWidth = 475;
inline QColor bandColour() {
    return QColor(20, 60, 200);
}

/// An A4 PDF of two pages: the first with the band, the second blank.
void makePdf(const std::filesystem::path& file);

struct Operator {
    std::filesystem::path key, certificate;
};
/// An operator pair in `folder`, made by the tool.
Operator makeOperator(const std::filesystem::path& folder);

/// How a program ended and what it printed (both streams).
struct Ran {
    int status = -1;
    std::string output;
};
Ran runTool(const QStringList& arguments, int timeoutMs = 60000);
Ran runProgram(const QString& program, const QStringList& arguments, int timeoutMs = 60000);

/// A desk over `pdf`, its place on page 1 at `rect`, writing into `out`, telling `warn` what
/// the clerk is told, certifying the document with `certify` (DocMDP /P) when given.
std::unique_ptr<DeskWindow> makeDesk(const std::filesystem::path& pdf, const Operator& op,
                                     const std::filesystem::path& out,
                                     const std::string& rect = "330,120,200,80",
                                     std::optional<int> padScreen = std::nullopt,
                                     bool kiosk = false, const std::string& lang = "en",
                                     std::function<void(const std::string&)> warn = {},
                                     std::optional<int> certify = std::nullopt);

/// Writes a short signature on the pad with the pen, as a tablet would.
void writeSignature(PenwellWidget& pad, unsigned long startMs);

/// A scratch folder holding a one-page contract (makePdf) and an operator key pair
/// (makeOperator) with an empty out/; removed after.
class DeskFolderTest : public ::testing::Test {
protected:
    void SetUp() override;

    const test::TempDir folder;
    const std::filesystem::path scratch = folder.path(), pdf = scratch / "contract.pdf";
    Operator op;
};

}  // namespace penwell::qt::testing
