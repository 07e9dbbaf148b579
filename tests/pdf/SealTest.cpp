// Sealing a signed document with its audit trail: what independent tools make of the sealed
// file, what pdf verify prints and refuses, and what sealing itself refuses.

#include <gtest/gtest.h>

#include <functional>
#include <nlohmann/json.hpp>

#include "pdf/Fixtures.h"
#include "penwell/host/common/AuditTrailSeal.h"
#include "penwell/pdf/Seal.h"
#include "penwell/service/AuditChain.h"
#include "penwell/service/AuditTrailFile.h"
#include "penwell/service/Writes.h"

namespace penwell::pdftest {
namespace {

/// The trail of a two-signer request, as the store writes it.
std::vector<service::AuditEvent> events() {
    service::Request request;
    request.id = "req_7";
    request.expiresAt = 10'000'000;
    service::Signer ann, bob;
    ann.position = 1;
    ann.name = "Ann Example";
    bob.position = 2;
    bob.name = "Bob Example";
    request.signers = {ann, bob};
    std::vector<service::AuditEvent> out{
        service::createdEvent("req_7", 1'700'000'000'000, {"192.0.2.1", "curl/8.1"})};
    service::Change change;
    change.time = 1'700'000'060'000;
    change.events = {{"link.opened", 1, {}, {"192.0.2.7", "Mozilla/5.0 (X11)"}},
                     {"document.shown", 1, std::string(64, 'a'), {"192.0.2.7", "Mozilla/5.0 (X11)"}},
                     {"signer.signed", 1, std::string(64, 'a'), {"192.0.2.7", "Mozilla/5.0 (X11)"}},
                     {"link.opened", 2, {}, {"198.51.100.4", "Safari"}},
                     {"signer.signed", 2, std::string(64, 'b'), {"198.51.100.4", "Safari"}},
                     {"request.completed", 0, {}, {"198.51.100.4", "Safari"}}};
    const service::Writes writes = service::writesOf(request, change, out.back());
    out.insert(out.end(), writes.events.begin(), writes.events.end());
    return out;
}

std::string trailText() {
    return service::encodeAuditTrail("req_7", events());
}

Bytes bytesOf(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

class Seal : public Signing {
protected:
    static void SetUpTestSuite() {
        Signing::SetUpTestSuite();
        spit(at("contract.pdf"), contract());
        // The same contract with object streams and a cross-reference stream, carrying an
        // invoice attached before anyone signed, which the seal must keep.
        spit(at("invoice.xml"), "<invoice>100</invoice>\n");
        run("qpdf --object-streams=generate --add-attachment " + at("invoice.xml").string() +
            " -- " + at("contract.pdf").string() + " " + at("attached.pdf").string());
        for (const std::string base : {"contract", "attached"}) {
            ASSERT_EQ(sign(base + ".pdf", base + "-1.pdf", "--field Approval").status, 0);
            ASSERT_EQ(sign(base + "-1.pdf", base + "-2.pdf", "--field Witness").status, 0);
        }
        const Shell certified = sign("contract.pdf", "certified-2.pdf", "--field Approval",
                                     "--certify 2");
        ASSERT_EQ(certified.status, 0) << certified.output;
        ASSERT_EQ(sign("contract.pdf", "certified-3.pdf", "--field Approval", "--certify 3").status,
                  0);
    }

    static pdf::SigningIdentity identity() {
        const std::string key = slurp(at("a.key")), certificate = slurp(at("a.crt"));
        Result<pdf::SigningIdentity> loaded =
            pdf::SigningIdentity::fromPem(asBytes(key), "a.key", asBytes(certificate), "a.crt");
        EXPECT_TRUE(loaded) << loaded.error().message;
        return *loaded;
    }

    static Result<Bytes> seal(const std::string& in, const std::string& trail) {
        const std::string bytes = slurp(at(in));
        pdf::SealRequest request;
        request.fileName = service::kAuditTrailFileName;
        request.mediaType = "application/json";
        request.description = "Audit trail of signing request req_7";
        request.file = bytesOf(trail);
        request.reason = "Audit trail sealed";
        return pdf::sealPdf(asBytes(bytes), in, request, identity());
    }

    /// Seals `in` with the request's trail into `out` as the service's host does.
    static void sealInto(const std::string& in, const std::string& out) {
        const std::string bytes = slurp(at(in));
        const penwell::SigningIdentity operatorIdentity{bytesOf(slurp(at("a.key"))),
                                                        bytesOf(slurp(at("a.crt"))), std::nullopt};
        const auto identity =
            pdf::SigningIdentity::fromOperator(operatorIdentity, "a.key", "a.crt");
        ASSERT_TRUE(identity) << identity.error().message;
        const Result<Bytes> sealed =
            host::sealAuditTrail(asBytes(bytes), in, "req_7", events(), *identity);
        ASSERT_TRUE(sealed) << sealed.error().message;
        spit(at(out), std::string(sealed->begin(), sealed->end()));
    }

    /// Seals `in` with `trail`, whatever it holds, into `out`.
    static void sealTextInto(const std::string& in, const std::string& out,
                             const std::string& trail) {
        const Result<Bytes> sealed = seal(in, trail);
        ASSERT_TRUE(sealed) << sealed.error().message;
        spit(at(out), std::string(sealed->begin(), sealed->end()));
    }
};

TEST_F(Seal, IndependentToolsFindEverySignatureValidAndTheTrailByteForByte) {
    for (const std::string base : {"contract", "attached"}) {
        SCOPED_TRACE(base);
        const std::string out = base + "-sealed.pdf";
        sealInto(base + "-2.pdf", out);
        // The input is an exact prefix: the signers' signatures are untouched.
        const std::string sealed = slurp(at(out)), before = slurp(at(base + "-2.pdf"));
        ASSERT_EQ(sealed.compare(0, before.size(), before), 0);
        expectSound(out);
        EXPECT_EQ(pdfsig(at(out)).size(), 3u);
        const Shell shown = run("qpdf --show-attachment=penwell-audit.json " + at(out).string());
        EXPECT_EQ(shown.status, 0);
        EXPECT_EQ(shown.output, trailText());
        const Shell listed = run("qpdf --list-attachments " + at(out).string());
        EXPECT_NE(listed.output.find("penwell-audit.json"), std::string::npos) << listed.output;
        if (base == "attached") {
            EXPECT_EQ(run("qpdf --show-attachment=invoice.xml " + at(out).string()).output,
                      "<invoice>100</invoice>\n");
        }
        // The signers' signatures allow it, the invoice kept beside the trail included.
        const Shell v = verify(out);
        EXPECT_EQ(v.status, 0) << v.output;
        // The checksum is the MD5 that openssl computes.
        spit(at("trail.json"), trailText());
        const std::string md5 =
            run("openssl dgst -md5 -r " + at("trail.json").string() + " | cut -c1-32").output;
        const auto doc = open(sealed);
        QPDFObjectHandle root = doc->getRoot();
        QPDFObjectHandle spec = root.getKey("/AF").getArrayItem(root.getKey("/AF").getArrayNItems() - 1);
        EXPECT_EQ(spec.getKey("/AFRelationship").getName(), "/Data");
        QPDFObjectHandle file = spec.getKey("/EF").getKey("/F");
        EXPECT_EQ(file.getDict().getKey("/Subtype").getName(), "/application/json");
        QPDFObjectHandle params = file.getDict().getKey("/Params");
        EXPECT_EQ(params.getKey("/Size").getIntValue(), static_cast<long long>(trailText().size()));
        std::string checksum;
        for (unsigned char c : params.getKey("/CheckSum").getStringValue()) {
            static const char digits[] = "0123456789abcdef";
            checksum += digits[c >> 4];
            checksum += digits[c & 15];
        }
        EXPECT_EQ(checksum, md5.substr(0, 32));
        EXPECT_TRUE(params.getKey("/ModDate").isString());
        // The seal is invisible: no area, printed and locked, an empty appearance.
        QPDFObjectHandle fields = root.getKey("/AcroForm").getKey("/Fields");
        QPDFObjectHandle seal = fields.getArrayItem(fields.getArrayNItems() - 1);
        EXPECT_EQ(seal.getKey("/T").getUTF8Value(), "Seal1");
        EXPECT_EQ(seal.getKey("/Rect").unparse(), "[ 0 0 0 0 ]");
        EXPECT_EQ(seal.getKey("/F").getIntValue(), 132);
        EXPECT_TRUE(seal.getKey("/AP").getKey("/N").isStream());
        EXPECT_FALSE(seal.getKey("/V").hasKey("/Reference"));  // an approval, not a certification
    }
}

TEST_F(Seal, VerifyPrintsTheChainAndTheSealThatCoversIt) {
    sealInto("contract-2.pdf", "listed.pdf");
    const Shell v = verify("listed.pdf");
    EXPECT_EQ(v.status, 0) << v.output;
    EXPECT_NE(v.output.find("audit trail: penwell-audit.json, request \"req_7\", 7 event(s)\n"),
              std::string::npos)
        << v.output;
    for (const service::AuditEvent& event : events()) {
        EXPECT_NE(v.output.find("  " + service::describeEvent(event) + "\n"), std::string::npos)
            << event.sequence;
    }
    EXPECT_NE(v.output.find("  2  2023-11-14T22:14:20.000Z  link.opened  signer 1  \"192.0.2.7\"  "
                            "\"Mozilla/5.0 (X11)\"  -\n"),
              std::string::npos)
        << v.output;
    EXPECT_NE(v.output.find("  covered by: the signature in field Seal1\n"), std::string::npos);
    EXPECT_NE(v.output.find("  checks out: yes: its chain is intact\n"), std::string::npos);
    // The signers' signatures allow the attachment: it is judged as an annotation.
    EXPECT_EQ(v.output.find("modified after signing"), std::string::npos) << v.output;
    EXPECT_NE(v.output.find("all 3 signature(s) check out"), std::string::npos);

    const Shell json = verify("listed.pdf", "--json");
    const auto doc = nlohmann::json::parse(json.output);
    EXPECT_EQ(doc["audit_trail"]["request"], "req_7");
    EXPECT_EQ(doc["audit_trail"]["events"].size(), 7u);
    EXPECT_EQ(doc["audit_trail"]["covered_by"], "Seal1");
    EXPECT_EQ(doc["audit_trail"]["ok"], true);
    // A document without a trail says nothing of one.
    EXPECT_EQ(verify("contract-2.pdf").output.find("audit trail"), std::string::npos);
}

/// `file` with `from` replaced by `to` of the same length, once, after `after`.
std::string replaced(std::string file, const std::string& from, const std::string& to,
                     std::size_t after = 0) {
    const std::size_t at = file.find(from, after);
    EXPECT_NE(at, std::string::npos) << from;
    EXPECT_EQ(from.size(), to.size());
    return at == std::string::npos ? file : file.replace(at, from.size(), to);
}

/// An update that attaches `trail` as the seal would, with no signature over it.
Edit attachedWithoutSeal(const std::string& trail) {
    return [trail](QPDF& q) {
        QPDFObjectHandle stream = QPDFObjectHandle::newStream(&q, trail);
        stream.getDict().replaceKey("/Type", QPDFObjectHandle::newName("/EmbeddedFile"));
        QPDFObjectHandle spec = q.makeIndirectObject(QPDFObjectHandle::parse(
            "<< /Type /Filespec /F (penwell-audit.json) /UF (penwell-audit.json) "
            "/AFRelationship /Data /EF << >> >>"));
        spec.getKey("/EF").replaceKey("/F", stream);
        QPDFObjectHandle tree = q.makeIndirectObject(QPDFObjectHandle::parse("<< /Names [] >>"));
        tree.getKey("/Names").appendItem(QPDFObjectHandle::newString("penwell-audit.json"));
        tree.getKey("/Names").appendItem(spec);
        QPDFObjectHandle root = q.getRoot();
        root.replaceKey("/Names", QPDFObjectHandle::newDictionary());
        root.getKey("/Names").replaceKey("/EmbeddedFiles", tree);
        root.replaceKey("/AF", QPDFObjectHandle::newArray());
        root.getKey("/AF").appendItem(spec);
        return Update{{root}, {}, {}};
    };
}

Edit pageRewritten() {
    return [](QPDF& q) {
        QPDFObjectHandle page = q.getAllPages().at(0);
        page.replaceKey("/Contents", QPDFObjectHandle::newStream(&q, "0 0 m 100 100 l S\n"));
        return Update{{page}, {}, {}};
    };
}

TEST_F(Seal, VerifyRefusesATrailThatIsBrokenOrNotSealed) {
    const std::string brokenTrail = replaced(trailText(), "\"Safari\"", "\"Safarj\"");
    sealInto("contract-2.pdf", "sealed.pdf");
    const std::string sealed = slurp(at("sealed.pdf"));
    const std::size_t trailAt = sealed.find("\"format\": \"penwell-audit-1\"");
    ASSERT_NE(trailAt, std::string::npos);
    struct Case {
        const char* name;
        std::function<void(const std::string& out)> make;
        std::vector<std::string> lines;  ///< each in the output; the last ends the verdict
    };
    const Case cases[] = {
        {"a byte of the trail changed after sealing",
         [&](const std::string& out) {
             spit(at(out), replaced(sealed, "curl/8.1", "curl/8.2", trailAt));
         },
         {"signature 3: field Seal1", "digest and signature valid: NO",
          "1 of 3 signature(s) do not check out; the audit trail does not check out: its chain "
          "is broken: event 1 (request.created): its hash does not match its contents"}},
        {"a broken chain, sealed",
         [&](const std::string& out) { sealTextInto("contract-2.pdf", out, brokenTrail); },
         {"covered by: the signature in field Seal1",
          ": the audit trail does not check out: its chain is broken: event 5 (link.opened): its "
          "hash does not match its contents"}},
        {"a trail with no seal",
         [&](const std::string& out) {
             spit(at(out), appendUpdate(slurp(at("contract-2.pdf")), attachedWithoutSeal(trailText())));
         },
         {"covered by: NO valid signature",
          ": the audit trail does not check out: no valid signature covers it: it was added or "
          "changed after the last signature"}},
        {"a trail replaced after the seal",
         [&](const std::string& out) {
             spit(at(out), appendUpdate(sealed, attachedWithoutSeal(trailText())));
         },
         {"modified after signing: object 1 (the document catalog's /Names /EmbeddedFiles)",
          "covered by: NO valid signature",
          "1 of 3 signature(s) do not check out; the audit trail does not check out: no valid "
          "signature covers it"}},
        {"an earlier signer's page rewritten, then sealed",
         [&](const std::string& out) {
             spit(at("rewritten.pdf"), appendUpdate(slurp(at("contract-2.pdf")), pageRewritten()));
             sealInto("rewritten.pdf", out);
         },
         {"modified after signing: object", "the content of page 1",
          "2 of 3 signature(s) do not check out"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string out = "refused-" + std::to_string(&c - cases) + ".pdf";
        c.make(out);
        const Shell v = verify(out);
        EXPECT_EQ(v.status, 1) << v.output;
        for (const std::string& line : c.lines) {
            EXPECT_NE(v.output.find(line), std::string::npos) << line << "\n" << v.output;
        }
        // The verdict is the last line, and one line.
        const std::string last = v.output.substr(v.output.rfind('\n', v.output.size() - 2) + 1);
        EXPECT_NE(last.find(c.lines.back()), std::string::npos) << last;
    }
}

TEST_F(Seal, RefusesWhatTheDocumentDoesNotAllow) {
    struct Case {
        const char* in;
        std::string message;  ///< empty: sealed
    };
    sealInto("contract-2.pdf", "once.pdf");
    const Case cases[] = {
        {"certified-2.pdf",
         "certified-2.pdf: certified with P = 2 (form filling and signing): it allows no file to "
         "be attached"},
        {"certified-3.pdf", ""},
        {"once.pdf", "once.pdf: holds an attached file named penwell-audit.json already"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        const Result<Bytes> sealed = seal(c.in, trailText());
        if (c.message.empty()) {
            ASSERT_TRUE(sealed) << sealed.error().message;
            spit(at("sealed-" + std::string(c.in)), std::string(sealed->begin(), sealed->end()));
            const Shell v = verify("sealed-" + std::string(c.in));
            EXPECT_EQ(v.status, 0) << v.output;
            EXPECT_NE(v.output.find("changes after it: annotations"), std::string::npos);
        } else {
            ASSERT_FALSE(sealed);
            EXPECT_EQ(sealed.error().message, c.message);
        }
    }
}

}  // namespace
}  // namespace penwell::pdftest
