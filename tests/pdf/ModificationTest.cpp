// What may change after a signature: a table of later revisions, each made on qpdf's object
// model of a signed contract (or by a second `pdf sign`), judged by `pdf verify` and cross-
// checked with pdfsig (the signature stays valid, no longer total), qpdf --check and mupdf's own
// change analysis.

#include <gtest/gtest.h>

#include <regex>

#include "pdf/Fixtures.h"
#include "penwell/pdf/Modifications.h"

namespace penwell::pdftest {
namespace {

QPDFObjectHandle page1(QPDF& qpdf) {
    return qpdf.getAllPages().at(0);
}

QPDFObjectHandle field(QPDF& qpdf, const std::string& name) {
    QPDFObjectHandle fields = qpdf.getRoot().getKey("/AcroForm").getKey("/Fields");
    for (QPDFObjectHandle f : fields.getArrayAsVector()) {
        if (f.getKey("/T").getUTF8Value() == name) {
            return f;
        }
    }
    throw std::runtime_error("no field " + name);
}

Update contentRewritten(QPDF& qpdf) {
    QPDFObjectHandle content = page1(qpdf).getKey("/Contents");
    content.replaceStreamData("BT /F1 24 Tf 72 760 Td (PAY 1,000,000 USD TO MALLORY) Tj ET",
                              QPDFObjectHandle::newNull(), QPDFObjectHandle::newNull());
    return {{content}, {}, {}};
}

Update contentAppended(QPDF& qpdf) {
    QPDFObjectHandle page = page1(qpdf);
    QPDFObjectHandle more = qpdf.newStream("BT /F1 12 Tf 72 600 Td (Void) Tj ET");
    QPDFObjectHandle contents = QPDFObjectHandle::newArray();
    contents.appendItem(page.getKey("/Contents"));
    contents.appendItem(more);
    page.replaceKey("/Contents", contents);
    return {{page}, {}, {}};
}

Update fontSwapped(QPDF& qpdf) {
    QPDFObjectHandle font = page1(qpdf).getKey("/Resources").getKey("/Font").getKey("/F1");
    font.replaceKey("/BaseFont", QPDFObjectHandle::newName("/Courier"));
    return {{font}, {}, {}};
}

Update fieldValueChanged(QPDF& qpdf) {
    QPDFObjectHandle amount = field(qpdf, "Amount");
    amount.replaceKey("/V", QPDFObjectHandle::newString("1000000"));
    QPDFObjectHandle look = qpdf.newStream("/Tx BMC BT /Helv 12 Tf 2 6 Td (1000000) Tj ET EMC");
    look.getDict().replaceKey("/Type", QPDFObjectHandle::newName("/XObject"));
    look.getDict().replaceKey("/Subtype", QPDFObjectHandle::newName("/Form"));
    look.getDict().replaceKey("/BBox", amount.getKey("/AP").getKey("/N").getDict().getKey("/BBox"));
    look.getDict().replaceKey("/Resources",
                              amount.getKey("/AP").getKey("/N").getDict().getKey("/Resources"));
    amount.replaceKey("/AP", QPDFObjectHandle::newDictionary());
    amount.getKey("/AP").replaceKey("/N", look);
    return {{amount}, {}, {}};
}

Update annotationAdded(QPDF& qpdf) {
    QPDFObjectHandle page = page1(qpdf);
    QPDFObjectHandle note = qpdf.makeIndirectObject(QPDFObjectHandle::parse(
        "<< /Type /Annot /Subtype /FreeText /Rect [72 500 400 540] /Contents (PAY MALLORY)"
        " /DA (/Helv 18 Tf 0 g) >>"));
    page.getKey("/Annots").appendItem(note);
    return {{page}, {}, {}};
}

Update signatureFieldAdded(QPDF& qpdf) {
    QPDFObjectHandle page = page1(qpdf);
    QPDFObjectHandle extra = qpdf.makeIndirectObject(QPDFObjectHandle::parse(
        "<< /Type /Annot /Subtype /Widget /FT /Sig /T (Extra) /F 4 /Rect [72 300 272 360] >>"));
    extra.replaceKey("/P", page);
    page.getKey("/Annots").appendItem(extra);
    qpdf.getRoot().getKey("/AcroForm").getKey("/Fields").appendItem(extra);
    return {{page, qpdf.getRoot()}, {}, {}};
}

Update dssAdded(QPDF& qpdf) {
    // The validation data a long-term signature adds: here the signer's certificate.
    QPDFObjectHandle certificate =
        qpdf.newStream(slurp(PENWELL_SOURCE_DIR "/demo-certificate/Penwell.dat"));
    QPDFObjectHandle dss = qpdf.makeIndirectObject(QPDFObjectHandle::parse("<< /Certs [] >>"));
    dss.getKey("/Certs").appendItem(certificate);
    qpdf.getRoot().replaceKey("/DSS", dss);
    return {{qpdf.getRoot()}, {}, {}};
}

Update openActionAdded(QPDF& qpdf) {
    qpdf.getRoot().replaceKey(
        "/OpenAction", QPDFObjectHandle::parse("<< /S /JavaScript /JS (app.alert\\(1\\)) >>"));
    return {{qpdf.getRoot()}, {}, {}};
}

Update signatureSwapped(QPDF& qpdf) {
    QPDFObjectHandle approval = field(qpdf, "Approval");
    QPDFObjectHandle other = qpdf.makeIndirectObject(approval.getKey("/V").shallowCopy());
    other.replaceKey("/Reason", QPDFObjectHandle::newString("Rejected"));
    approval.replaceKey("/V", other);
    return {{approval}, {}, {}};
}

Update evidenceReplaced(QPDF& qpdf) {
    QPDFObjectHandle approval = field(qpdf, "Approval");
    QPDFObjectHandle spec = approval.getKey("/AF").getArrayItem(0);
    QPDFObjectHandle copy = qpdf.makeIndirectObject(spec.shallowCopy());
    QPDFObjectHandle files = QPDFObjectHandle::newArray();
    files.appendItem(copy);
    approval.replaceKey("/AF", files);
    return {{approval}, {}, {}};
}

Update widgetRemoved(QPDF& qpdf) {
    QPDFObjectHandle page = page1(qpdf);
    QPDFObjectHandle kept = QPDFObjectHandle::newArray();
    for (QPDFObjectHandle annot : page.getKey("/Annots").getArrayAsVector()) {
        if (annot.getKey("/T").getUTF8Value() != "Approval") {
            kept.appendItem(annot);
        }
    }
    page.replaceKey("/Annots", kept);
    return {{page}, {}, {}};
}

Update contentFreed(QPDF& qpdf) {
    return {{}, {page1(qpdf).getKey("/Contents").getObjGen()}, {}};
}

Update catalogReplaced(QPDF& qpdf) {
    QPDFObjectHandle copy = qpdf.makeIndirectObject(qpdf.getRoot().shallowCopy());
    return {{}, {}, copy.getObjGen()};
}

Update unreachableChanged(QPDF& qpdf) {
    QPDFObjectHandle unused = qpdf.getObject(10, 0);
    unused.replaceKey("/Note", QPDFObjectHandle::newString("still nothing refers to this"));
    return {{unused}, {}, {}};
}

Update rewrittenAsIs(QPDF& qpdf) {
    return {{page1(qpdf), qpdf.getRoot()}, {}, {}};
}

/// How mupdf's own change analysis (mutool) compares with Penwell's on a row.
enum class Mupdf {
    Agrees,    ///< it finds the document changed exactly when pdf verify refuses the change
    Stricter,  ///< it knows only changes to existing fields: a new field, annotation or DSS,
               ///< even a catalog rewritten as it was, breaks the signature for it
    Laxer,     ///< it lets a field or the catalog be rewritten freely, does not look at
               ///< fonts, and judges a signature by field locks, never by the certification
    Blind,     ///< the signature's widget is gone from the page, so it does not see it
};

struct Case {
    const char* name;
    const char* base;  ///< the signed contract the update is appended to
    Edit edit;         ///< the update, or nothing when `command` makes it
    const char* command;
    int exit;                ///< pdf verify's exit code
    const char* level;       ///< the first signature's "changes after it"
    const char* disallowed;  ///< in its "modified after signing" line; nil: none
    Mupdf mupdf;
};

class Modifications : public Signing {
protected:
    static void SetUpTestSuite() {
        Signing::SetUpTestSuite();
        spit(at("contract.pdf"), contract());
        spit(at("locked.pdf"),
             contract("/Lock << /Type /SigFieldLock /Action /Include /Fields [(Amount)] >>"));
        run("qpdf --object-streams=generate " + at("contract.pdf").string() + " " +
            at("streams.pdf").string());
        for (const auto& [in, out, more] : {std::tuple{"contract.pdf", "signed.pdf", ""},
                                            {"locked.pdf", "signed-locked.pdf", ""},
                                            {"streams.pdf", "signed-streams.pdf", ""},
                                            {"contract.pdf", "certified-1.pdf", "--certify 1"},
                                            {"contract.pdf", "certified-2.pdf", "--certify 2"},
                                            {"contract.pdf", "certified-3.pdf", "--certify 3"}}) {
            const Shell s = sign(in, out, "--field Approval", more);
            ASSERT_EQ(s.status, 0) << s.output;
        }
    }
};

TEST_F(Modifications, EachLaterRevisionIsJudgedByWhatTheSignatureAllows) {
    const char* secondInWitness = "--field Witness";
    const char* secondOnPage = "--page 1 --rect 320,200,200,60";
    // mupdf 1.21 judges by another model (each row says how it compares): it allows after a
    // signature only changes to existing form fields, but any change to them.
    const Case cases[] = {
        {"content rewritten", "signed.pdf", contentRewritten, nullptr, 1, "other",
         "(the content of page 1)", Mupdf::Agrees},
        {"content appended", "signed.pdf", contentAppended, nullptr, 1, "other",
         "(the content of page 1)", Mupdf::Agrees},
        {"font swapped", "signed.pdf", fontSwapped, nullptr, 1, "other",
         "(a font (/Helvetica) of the resources of page 1)", Mupdf::Laxer},
        {"content freed", "signed.pdf", contentFreed, nullptr, 1, "other",
         "(the content of page 1)", Mupdf::Agrees},
        {"open action added", "signed.pdf", openActionAdded, nullptr, 1, "other",
         "(the document catalog's /OpenAction)", Mupdf::Agrees},
        {"catalog replaced", "signed.pdf", catalogReplaced, nullptr, 1, "other",
         "the trailer (its /Root names another catalog)", Mupdf::Laxer},
        {"signature swapped", "signed.pdf", signatureSwapped, nullptr, 1, "other",
         "(signature field Approval: /V)", Mupdf::Laxer},
        {"evidence replaced", "signed.pdf", evidenceReplaced, nullptr, 1, "other",
         "(signature field Approval: /AF)", Mupdf::Laxer},
        {"signed widget removed", "signed.pdf", widgetRemoved, nullptr, 1, "other",
         "(signature field Approval, removed on page 1)", Mupdf::Blind},
        {"field value changed", "signed.pdf", fieldValueChanged, nullptr, 0, "form filling",
         nullptr, Mupdf::Agrees},
        {"annotation added", "signed.pdf", annotationAdded, nullptr, 0, "annotations", nullptr,
         Mupdf::Stricter},
        {"signature field added", "signed.pdf", signatureFieldAdded, nullptr, 0,
         "signatures and validation data", nullptr, Mupdf::Stricter},
        {"second signature, existing field", "signed.pdf", nullptr, secondInWitness, 0,
         "signatures and validation data", nullptr, Mupdf::Agrees},
        {"second signature, new field", "signed.pdf", nullptr, secondOnPage, 0,
         "signatures and validation data", nullptr, Mupdf::Stricter},
        {"DSS added", "signed.pdf", dssAdded, nullptr, 0, "signatures and validation data", nullptr,
         Mupdf::Stricter},
        {"unreferenced object changed", "signed.pdf", unreachableChanged, nullptr, 0, "none",
         nullptr, Mupdf::Stricter},
        {"rewritten as it was", "signed.pdf", rewrittenAsIs, nullptr, 0, "none", nullptr,
         Mupdf::Stricter},
        {"object streams: content", "signed-streams.pdf", contentRewritten, nullptr, 1, "other",
         "(the content of page 1)", Mupdf::Agrees},
        {"object streams: field value", "signed-streams.pdf", fieldValueChanged, nullptr, 0,
         "form filling", nullptr, Mupdf::Agrees},
        {"P=1: field value", "certified-1.pdf", fieldValueChanged, nullptr, 1, "form filling",
         "its certification allows no changes", Mupdf::Laxer},
        {"P=1: signature field", "certified-1.pdf", signatureFieldAdded, nullptr, 1,
         "signatures and validation data", "its certification allows no changes", Mupdf::Agrees},
        {"P=1: DSS", "certified-1.pdf", dssAdded, nullptr, 0, "signatures and validation data",
         nullptr, Mupdf::Stricter},
        {"P=2: field value", "certified-2.pdf", fieldValueChanged, nullptr, 0, "form filling",
         nullptr, Mupdf::Agrees},
        {"P=2: second signature", "certified-2.pdf", nullptr, secondInWitness, 0,
         "signatures and validation data", nullptr, Mupdf::Agrees},
        {"P=2: annotation", "certified-2.pdf", annotationAdded, nullptr, 1, "annotations",
         "allows form filling and signing", Mupdf::Agrees},
        {"P=3: annotation", "certified-3.pdf", annotationAdded, nullptr, 0, "annotations", nullptr,
         Mupdf::Stricter},
        {"locked field changed", "signed-locked.pdf", fieldValueChanged, nullptr, 1, "form filling",
         "field Amount is locked by this signature", Mupdf::Agrees},
        {"unlocked field signed", "signed-locked.pdf", nullptr, secondInWitness, 0,
         "signatures and validation data", nullptr, Mupdf::Agrees},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string out =
            std::regex_replace(c.name, std::regex("[^a-zA-Z0-9]+"), "-") + ".pdf";
        if (c.edit) {
            spit(at(out), appendUpdate(slurp(at(c.base)), c.edit));
        } else {
            const Shell s = sign(c.base, out, c.command);
            ASSERT_EQ(s.status, 0) << s.output;
        }
        const Shell v = verify(out);
        EXPECT_EQ(v.status, c.exit) << v.output;
        const std::string first = v.output.substr(0, v.output.find("\nsignature 2:"));
        EXPECT_NE(first.find(std::string("changes after it: ") + c.level + "\n"), std::string::npos)
            << v.output;
        const std::size_t modified = first.find("modified after signing: ");
        if (c.disallowed) {
            EXPECT_NE(first.find(c.disallowed, modified), std::string::npos) << v.output;
        } else {
            EXPECT_EQ(modified, std::string::npos) << v.output;
        }
        // The signature itself stays valid; only the judgement of what followed differs.
        const std::vector<PdfsigVerdict> verdicts = pdfsig(at(out));
        ASSERT_FALSE(verdicts.empty());
        EXPECT_TRUE(verdicts.front().valid);
        EXPECT_FALSE(verdicts.front().total);
        EXPECT_EQ(run("qpdf --check " + at(out).string()).status, 0);
        const std::map<std::string, int> mutool = mutoolValidation(at(out));
        if (c.mupdf == Mupdf::Blind) {
            EXPECT_FALSE(mutool.contains("Approval"));
            continue;
        }
        ASSERT_TRUE(mutool.contains("Approval"));
        const bool mupdfRefuses = mutool.at("Approval") != 0;
        const bool penwellRefuses = c.disallowed != nullptr;
        switch (c.mupdf) {
            case Mupdf::Agrees:
                EXPECT_EQ(mupdfRefuses, penwellRefuses);
                break;
            case Mupdf::Stricter:
                EXPECT_TRUE(mupdfRefuses && !penwellRefuses);
                break;
            case Mupdf::Laxer:
                EXPECT_TRUE(!mupdfRefuses && penwellRefuses);
                break;
            case Mupdf::Blind:
                break;
        }
    }
}

// The comparison's budget, as a property over every budget short of what a judgement needs:
// a document too large to compare is judged changed beyond any permission, never as allowed
// on what was compared so far, and with enough budget the judgement is whole.
TEST(ModificationBudget, AShortBudgetNeverJudgesAChangeAllowed) {
    const std::string before = contract();
    const std::string after = appendUpdate(before, fieldValueChanged);
    using pdf::Analysis, pdf::ModificationLevel;
    const pdf::Allowance allowance{2, "the certification", {}};
    const auto judge = [&](std::size_t budget) {
        const std::shared_ptr<QPDF> a = open(before), b = open(after);
        std::size_t left = budget;
        Analysis analysis = pdf::analyseChanges(*a, *b, allowance, left);
        return std::pair{std::move(analysis), budget - left};
    };
    const auto [whole, needed] = judge(std::size_t{1} << 20);
    ASSERT_EQ(whole.level, ModificationLevel::FormFilling);
    ASSERT_TRUE(whole.disallowed.empty());
    ASSERT_GT(needed, 0u);
    // Every budget would take a second or more; some seventy across the range, and the last.
    std::vector<std::size_t> budgets = {needed - 1};
    for (std::size_t budget = 0; budget < needed; budget += std::max<std::size_t>(1, needed / 64)) {
        budgets.push_back(budget);
    }
    for (const std::size_t budget : budgets) {
        const Analysis short_ = judge(budget).first;
        EXPECT_EQ(short_.level, ModificationLevel::Other) << budget << " of " << needed;
        EXPECT_EQ(short_.disallowed,
                  std::vector<std::string>{"the document: too large to compare its revisions"})
            << budget;
    }
    const auto [exact, spent] = judge(needed);
    EXPECT_EQ(exact.level, ModificationLevel::FormFilling);
    EXPECT_EQ(spent, needed);
}

}  // namespace
}  // namespace penwell::pdftest
