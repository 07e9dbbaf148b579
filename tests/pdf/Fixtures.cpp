#include "pdf/Fixtures.h"

#include <cairo-pdf.h>
#include <qpdf/Buffer.hh>

#include <cstdio>
#include <sstream>

namespace penwell::pdftest {

const std::string kTool = PENWELL_TOOL;
const std::string kTrace = PENWELL_SOURCE_DIR "/examples/finger-signature.json";
test::TempDir* Signing::folder_ = nullptr;

std::string pdfFromObjects(const std::vector<std::string>& objects) {
    std::string out = "%PDF-1.7\n%\xE2\xE3\xCF\xD3\n";
    std::vector<std::size_t> offsets;
    for (std::size_t i = 0; i < objects.size(); ++i) {
        std::string body = objects[i];
        const std::size_t stream = body.find("stream\n");
        if (stream != std::string::npos) {
            const std::size_t end = body.rfind("\nendstream");
            const std::string length = std::to_string(end - (stream + 7));
            body.replace(body.find("/Length 0"), 9, "/Length " + length);
        }
        offsets.push_back(out.size());
        out += std::to_string(i + 1) + " 0 obj\n" + body + "\nendobj\n";
    }
    const std::size_t xref = out.size();
    out += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f\r\n";
    for (std::size_t offset : offsets) {
        char line[24];
        std::snprintf(line, sizeof line, "%010zu 00000 n\r\n", offset);
        out += line;
    }
    return out + "trailer\n<< /Size " + std::to_string(objects.size() + 1) +
           " /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
}

std::string contract(const std::string& approval) {
    return pdfFromObjects({
        "<< /Type /Catalog /Pages 2 0 R /AcroForm << /Fields [6 0 R 7 0 R 8 0 R] /DA (/Helv 0 Tf"
        " 0 g) /DR << /Font << /Helv 5 0 R >> >> >> >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents 4 0 R /Resources <<"
        " /Font << /F1 5 0 R >> >> /Annots [6 0 R 7 0 R 8 0 R] >>",
        "<< /Length 0 >>\nstream\nBT /F1 24 Tf 72 760 Td (Contract) Tj ET\n"
        "BT /F1 12 Tf 72 700 Td (The buyer pays the amount below.) Tj ET\nendstream",
        "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>",
        "<< /Type /Annot /Subtype /Widget /FT /Tx /T (Amount) /V (100) /F 4 /Rect [72 640 272"
        " 664] /P 3 0 R /DA (/Helv 12 Tf 0 g) /AP << /N 9 0 R >> >>",
        "<< /Type /Annot /Subtype /Widget /FT /Sig /T (Approval) /F 4 /Rect [72 100 272 160] /P"
        " 3 0 R " +
            approval + " >>",
        "<< /Type /Annot /Subtype /Widget /FT /Sig /T (Witness) /F 4 /Rect [320 100 520 160] /P"
        " 3 0 R >>",
        "<< /Type /XObject /Subtype /Form /BBox [0 0 200 24] /Resources << /Font << /Helv 5 0 R"
        " >> >> /Length 0 >>\nstream\n/Tx BMC BT /Helv 12 Tf 2 6 Td (100) Tj ET EMC\nendstream",
        "<< /Note (nothing refers to this object) >>",
    });
}

bool Grey::ink(int x, int y) const {
    return x >= 0 && y >= 0 && x < width && y < height &&
           static_cast<unsigned char>(pixels[static_cast<std::size_t>(y * width + x)]) < 128;
}

Grey render(const fs::path& pdf, double dpi, const fs::path& stem, Renderer renderer) {
    const std::string pgm = stem.string() + ".pgm";
    run(renderer == Renderer::Poppler
            ? "pdftoppm -f 1 -l 1 -singlefile -cropbox -gray -r " + std::to_string(dpi) + " " +
                  pdf.string() + " " + stem.string()
            : "mutool draw -q -c gray -r " + std::to_string(dpi) + " -o " + pgm + " " +
                  pdf.string() + " 1");
    std::istringstream in(slurp(pgm));
    Grey g;
    std::string magic;
    int max = 0;
    in >> magic >> g.width >> g.height >> max;
    in.get();
    g.pixels.assign(std::istreambuf_iterator<char>(in), {});
    return g;
}

void makeDocument(const fs::path& path, int pages) {
    cairo_surface_t* surface = cairo_pdf_surface_create(path.c_str(), 595, 842);
    cairo_t* cr = cairo_create(surface);
    for (int i = 0; i < pages; ++i) {
        cairo_rectangle(cr, 72, 62, 20.0 * (i + 1), 10);
        cairo_fill(cr);
        cairo_show_page(cr);
    }
    cairo_destroy(cr);
    cairo_surface_destroy(surface);
}

std::shared_ptr<QPDF> open(const std::string& bytes) {
    // The bytes live as long as the model that reads them.
    struct Opened {
        std::string bytes;
        QPDF qpdf;
    };
    auto opened = std::make_shared<Opened>();
    opened->bytes = bytes;
    opened->qpdf.setSuppressWarnings(true);
    opened->qpdf.processMemoryFile("test.pdf", opened->bytes.data(), opened->bytes.size());
    return std::shared_ptr<QPDF>(opened, &opened->qpdf);
}

namespace {

std::string objectText(QPDFObjectHandle object) {
    const QPDFObjGen id = object.getObjGen();
    std::string text = std::to_string(id.getObj()) + " " + std::to_string(id.getGen()) + " obj\n";
    if (object.isStream()) {
        const std::shared_ptr<Buffer> data = object.getRawStreamData();
        QPDFObjectHandle dict = object.getDict().shallowCopy();
        dict.replaceKey("/Length",
                        QPDFObjectHandle::newInteger(static_cast<long long>(data->getSize())));
        text += dict.unparse() + "\nstream\n";
        text.append(reinterpret_cast<const char*>(data->getBuffer()), data->getSize());
        text += "\nendstream";
    } else {
        text += object.unparseResolved();
    }
    return text + "\nendobj\n";
}

void bigEndian(std::string& out, std::uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) {
        out += static_cast<char>((value >> (8 * i)) & 0xff);
    }
}

}  // namespace

std::string appendUpdate(const std::string& file, const Edit& edit) {
    std::shared_ptr<QPDF> qpdf = open(file);
    int last = 0;
    for (const auto& [id, entry] : qpdf->getXRefTable()) {
        last = std::max(last, id.getObj());
    }
    const long long size = qpdf->getTrailer().getKey("/Size").getIntValue();
    const Update update = edit(*qpdf);
    std::map<QPDFObjGen, QPDFObjectHandle> written;
    for (QPDFObjectHandle object : update.changed) {
        written[object.getObjGen()] = object;
    }
    for (QPDFObjectHandle object : qpdf->getAllObjects()) {
        if (object.getObjectID() > last && !object.isNull()) {
            written[object.getObjGen()] = object;
        }
    }
    std::string out = file;
    struct Row {
        int id, gen;
        bool free;
        std::uint64_t offset;
    };
    std::vector<Row> rows;
    for (const auto& [id, object] : written) {
        rows.push_back({id.getObj(), id.getGen(), false, out.size()});
        out += objectText(object);
    }
    for (const QPDFObjGen& id : update.freed) {
        rows.push_back({id.getObj(), id.getGen() + 1, true, 0});
    }
    std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) { return a.id < b.id; });
    long long newSize = size;
    for (const Row& row : rows) {
        newSize = std::max<long long>(newSize, row.id + 1);
    }
    const std::size_t startxref = file.rfind("startxref") + 10;
    const std::string prev =
        file.substr(startxref, file.find_first_of("\r\n", startxref) - startxref);
    const bool table = file.compare(std::stoull(prev), 4, "xref") == 0;
    const QPDFObjGen root = update.root.value_or(qpdf->getRoot().getObjGen());
    const std::string trailer = "/Root " + std::to_string(root.getObj()) + " " +
                                std::to_string(root.getGen()) + " R /Prev " + prev;
    const std::size_t xrefAt = out.size();
    if (table) {
        out += "xref\n";
        for (const Row& row : rows) {
            char line[24];
            std::snprintf(line, sizeof line, "%010llu %05d %c\r\n",
                          static_cast<unsigned long long>(row.offset), row.gen,
                          row.free ? 'f' : 'n');
            out += std::to_string(row.id) + " 1\n" + line;
        }
        out += "trailer\n<< /Size " + std::to_string(newSize) + " " + trailer + " >>\n";
    } else {
        rows.push_back({static_cast<int>(newSize), 0, false, xrefAt});
        std::string data, index;
        for (const Row& row : rows) {
            bigEndian(data, row.free ? 0 : 1, 1);
            bigEndian(data, row.offset, 4);
            bigEndian(data, static_cast<std::uint64_t>(row.gen), 2);
            index += std::to_string(row.id) + " 1 ";
        }
        out += std::to_string(newSize) + " 0 obj\n<< /Type /XRef /Size " +
               std::to_string(newSize + 1) + " /Index [" + index + "] /W [1 4 2] " + trailer +
               " /Length " + std::to_string(data.size()) + " >>\nstream\n" + data +
               "\nendstream\nendobj\n";
    }
    return out + "startxref\n" + std::to_string(xrefAt) + "\n%%EOF\n";
}

std::map<std::string, int> mutoolValidation(const fs::path& file) {
    const Shell r =
        run("mutool run " PENWELL_SOURCE_DIR "/tests/pdf/mutool-validate.js " + file.string());
    std::map<std::string, int> found;
    std::istringstream lines(r.output);
    std::string name;
    int updates = -1;
    std::string digest;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        if (words >> name >> updates >> digest && digest == "OK") {
            found[name] = updates;
        }
    }
    return found;
}

std::vector<PdfsigVerdict> pdfsig(const fs::path& file) {
    const std::string out = run("pdfsig " + file.string()).output;
    std::vector<PdfsigVerdict> verdicts;
    std::size_t at = 0;
    while ((at = out.find("Signature #", at)) != std::string::npos) {
        const std::size_t next = out.find("Signature #", at + 1);
        const std::string part = out.substr(at, next - at);
        verdicts.push_back({part.find("Signature is Valid.") != std::string::npos,
                            part.find("- Total document signed") != std::string::npos});
        at += 1;
    }
    return verdicts;
}

void Signing::SetUpTestSuite() {
    folder_ = new test::TempDir();
    // Every signature embeds a record sealed for the demo receiver's pinned certificate.
    setenv("PENWELL_RESOURCES", PENWELL_SOURCE_DIR "/demo-certificate", 1);
    for (const std::string who : {"a", "b"}) {
        run("openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=Operator-" + who +
            " -days 2 -keyout " + at(who + ".key").string() + " -out " + at(who + ".crt").string());
    }
    spit(at("both.pem"), slurp(at("a.crt")) + slurp(at("b.crt")));
}

void Signing::TearDownTestSuite() {
    delete folder_;
    folder_ = nullptr;
}

fs::path Signing::at(const std::string& name) {
    return folder_->path() / name;
}

Shell Signing::sign(const std::string& in, const std::string& out, const std::string& where,
                    const std::string& more) {
    return run(kTool + " pdf sign " + at(in).string() + " " + at(out).string() + " " + where +
               " --trace " + kTrace + " --sign-key " + at("a.key").string() + " --sign-cert " +
               at("a.crt").string() + " --demo --force " + more);
}

Shell Signing::verify(const std::string& file, const std::string& more) {
    return run(kTool + " pdf verify " + at(file).string() + " --trust " + at("a.crt").string() +
               " " + more);
}

void Signing::expectSound(const std::string& file) {
    const Shell check = run("qpdf --check " + at(file).string());
    EXPECT_EQ(check.status, 0) << check.output;
    const std::vector<PdfsigVerdict> verdicts = pdfsig(at(file));
    ASSERT_FALSE(verdicts.empty()) << file;
    for (const PdfsigVerdict& v : verdicts) {
        EXPECT_TRUE(v.valid) << file;
    }
    EXPECT_TRUE(verdicts.back().total) << file;
    // mupdf finds every digest sound, and the last signature's document unchanged (earlier ones
    // it judges by its own model, which the modification tests compare).
    const std::map<std::string, int> mutool = mutoolValidation(at(file));
    EXPECT_EQ(mutool.size(), verdicts.size()) << file;
    const bool anyUnchanged = std::any_of(mutool.begin(), mutool.end(),
                                          [](const auto& found) { return found.second == 0; });
    EXPECT_TRUE(anyUnchanged) << file;
}

}  // namespace penwell::pdftest
