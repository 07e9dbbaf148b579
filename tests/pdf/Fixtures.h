#pragma once
// What the PDF tests share: running the tool and the independent checkers (pdfsig, qpdf
// --check, mutool), writing documents from real PDF objects, and appending incremental updates
// made on qpdf's object model, as another program would after a signature.

#include <gtest/gtest.h>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/CertificateFixtures.h"
#include "support/Shell.h"

namespace penwell::pdftest {

namespace fs = std::filesystem;

using test::Shell;
inline Shell run(const std::string& command) {
    return test::runCombined(command);
}

inline std::string slurp(const fs::path& path) {
    return test::readText(path);
}
inline void spit(const fs::path& path, const std::string& bytes) {
    test::writeFile(path, bytes);
}

/// A PDF 1.7 file whose object N + 1 is `objects[N]` (a dictionary, or a dictionary followed by
/// "stream ... endstream", whose /Length is filled in when written as /Length 0), with a
/// classic cross-reference table of right offsets. Object 1 is the catalog.
std::string pdfFromObjects(const std::vector<std::string>& objects);

/// A one-page contract form, as a form designer writes one: text on the page in Helvetica, a
/// text field "Amount" (value 100, with its appearance), two empty signature fields
/// "Approval" (72,100 to 272,160) and "Witness" (320,100 to 520,160), and one object nothing
/// refers to. `approval` adds entries to Approval's field dictionary (a /Lock).
std::string contract(const std::string& approval = "");

/// What an edit did to a document, for the update that records it.
struct Update {
    std::vector<QPDFObjectHandle> changed;  ///< existing objects rewritten
    std::vector<QPDFObjGen> freed;          ///< objects deleted (free entries)
    std::optional<QPDFObjGen> root;         ///< another catalog for the trailer
};
using Edit = std::function<Update(QPDF&)>;

/// `file` followed by one incremental update: the objects `edit` changed on qpdf's model of
/// `file`, every object it made (makeIndirectObject), and a cross-reference section of the
/// kind `file` ends with.
std::string appendUpdate(const std::string& file, const Edit& edit);

/// qpdf's model of a file, for looking at what was written.
std::shared_ptr<QPDF> open(const std::string& bytes);

/// For every signed signature field: what mupdf's own change analysis says (0: nothing the
/// signature does not allow since it was made), by field name.
std::map<std::string, int> mutoolValidation(const fs::path& file);

/// pdfsig's verdict on signature `index` (from 1): its valid line and its coverage line.
struct PdfsigVerdict {
    bool valid = false;
    bool total = false;
};
std::vector<PdfsigVerdict> pdfsig(const fs::path& file);

/// A grey-scale page as a renderer draws it: width, height, one byte a pixel.
struct Grey {
    int width = 0, height = 0;
    std::string pixels;
    bool ink(int x, int y) const;
};
enum class Renderer { Poppler, Mupdf };
/// Page 1 of `pdf` drawn at `dpi` by pdftoppm or mutool draw (both honour /Rotate and the crop
/// box); `stem` names the scratch file.
Grey render(const fs::path& pdf, double dpi, const fs::path& stem,
            Renderer renderer = Renderer::Poppler);

/// An A4 document of `pages` pages, each with a bar as long as its number, as Cairo writes it.
/// A bar rather than text: text would start fontconfig, whose caches live until exit and read
/// as leaks under LeakSanitizer.
void makeDocument(const fs::path& path, int pages);

/// Keys, certificates, traces and the tool, for tests that sign.
class Signing : public ::testing::Test {
protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();

    static fs::path at(const std::string& name);
    /// `penwell pdf sign IN OUT WHERE` with the finger trace and operator A's key.
    static Shell sign(const std::string& in, const std::string& out, const std::string& where,
                      const std::string& more = "");
    /// `penwell pdf verify FILE --trust` operator A's certificate, and `more`.
    static Shell verify(const std::string& file, const std::string& more = "");
    /// Checks every signature of `file` with pdfsig and mutool and the file with qpdf --check:
    /// each signature valid, the last one total, qpdf finding no fault.
    static void expectSound(const std::string& file);

    static test::TempDir* folder_;
};

extern const std::string kTool;
extern const std::string kTrace;

}  // namespace penwell::pdftest
