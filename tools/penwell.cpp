// penwell: the command-line tool around the component. Subcommands:
//   demo     replay the bundled sample traces and open what they export
//   replay   run one trace through the controller and export the result
//   open     the receiver's side: unwrap, decrypt, decode and show a record
//   cert     make or inspect the receiver's certificate
//   serve    a signing pad in the browser, one controller per signer
//   desk     a desktop signing app: the PDF beside a pad (built with Qt 6)
//   verify   enrol reference signatures, check one against them, evaluate (tools/VerifyCli.h)
//   pdf      sign a PDF with the handwriting (PAdES), and verify a PDF's signatures
// Errors go to stderr as one line; the exit code is 0 only on success (2 for usage errors).

#include <CLI/CLI.hpp>
#include <cmath>
#include <exception>
#include <functional>
#include <iostream>
#include <tuple>
#include <vector>

#include "penwell/tools/Commands.h"
#include "penwell/tools/ToolError.h"
#include "penwell/tools/VerifyCli.h"

namespace {

/// Refuses nan and inf, which pass a range check: every comparison with nan is false.
const CLI::Validator kFinite(
    [](std::string& text) {
        double value = 0.0;
        if (!CLI::detail::lexical_cast(text, value) || !std::isfinite(value)) {
            return "not a finite number: " + text;
        }
        return std::string();
    },
    "FINITE");

/// --line-width, the same range in every command: 0 to 1000 points, which holds every width
/// any command has taken (a pen's ink follows its pressure whatever the width).
template <typename T>
CLI::Option* addLineWidth(CLI::App* command, T& width, const std::string& help) {
    return command->add_option("--line-width", width, help)
        ->check(kFinite)
        ->check(CLI::Range(0.0, 1000.0));
}

/// --resources, where Penwell.dat is looked for, the same in every command that exports.
template <typename T>
void addResources(CLI::App* command, T& folder) {
    command->add_option("--resources", folder,
                        "folder holding Penwell.dat (default: $PENWELL_RESOURCES, else "
                        "../share/penwell beside the program, else the library's)");
}

/// --smoothing on|off, spelled the same in every command; --smoothing alone means on.
CLI::Option* addSmoothing(CLI::App* command, std::string& value, const std::string& help) {
    return command->add_option("--smoothing", value, help + "; --smoothing alone: on")
        ->expected(0, 1)
        ->check(CLI::IsMember({"on", "off"}));
}

/// Where the signature goes and what it says, the same for every command that signs a PDF
/// (`pdf sign`, `serve --document`, `desk`). Answers the options, for a command that takes
/// them only with another.
std::vector<CLI::Option*> addPlacementOptions(CLI::App* command,
                                              penwell::host::DocumentRequest& placement) {
    auto* field = command->add_option("--field", placement.field, "an empty signature field");
    return {field,
            command->add_option("--page", placement.page, "page of a new field (1 is the first)")
                ->check(CLI::PositiveNumber)
                ->capture_default_str(),
            command->add_option("--rect", placement.rect, "X,Y,W,H of a new field, in points")
                ->excludes(field),
            command->add_option("--reason", placement.reason, "why it is signed"),
            command->add_option("--location", placement.location, "where it is signed"),
            command->add_option("--name", placement.name, "the signer's name")};
}

/// --certify, for the commands that sign one document for one signer (a certification
/// signature must be the document's first).
void addCertifyOption(CLI::App* command, penwell::host::DocumentRequest& document) {
    command
        ->add_option("--certify", document.certify,
                     "certify the document, allowing after it 1: no changes, 2: form filling and "
                     "signing, 3: also annotations")
        ->check(CLI::Range(1, 3));
}

#ifdef PENWELL_WITH_PDF
/// Where long-term validation data comes from (pdf sign, pdf augment).
void addValidationSources(CLI::App* command, penwell::tools::LongTermOptions& longTerm) {
    command->add_option("--trust", longTerm.trust,
                        "certificates where the chains end (B-LT, B-LTA), PEM or DER; repeatable");
    command->add_option("--ocsp", longTerm.ocsp,
                        "an OCSP answer (DER) to use before asking any responder; repeatable");
    command->add_option("--crl", longTerm.crls,
                        "a CRL (DER or PEM) to use before fetching any; repeatable");
}
#endif

/// The operator key options, the same for every command that signs evidence or a PDF.
/// Answers --sign-key, for a command that requires it.
CLI::Option* addSignOptions(CLI::App* command, penwell::tools::SignOptions& sign) {
    auto* key = command->add_option("--sign-key", sign.key,
                                    "operator key that signs the evidence and any PDF (PEM or DER, "
                                    "perhaps encrypted; PKCS#12; or a pkcs11: URI naming a key on "
                                    "a token)");
    command->add_option("--sign-cert", sign.certificate,
                        "--sign-key's certificate (PEM or DER; PEM may add its chain); with a "
                        "PKCS#12 key it must be the one inside");
    command->add_option("--sign-chain", sign.chain,
                        "intermediate certificates every signature carries (PEM or DER)");
    command->add_option("--sign-password-file", sign.passwordFile,
                        "--sign-key's password, passphrase or token PIN (first line; else "
                        "$PENWELL_SIGN_PASSWORD)");
    return key;
}

/// Who the records are sealed for, the same for every command that seals.
void addSealOptions(CLI::App* command, penwell::tools::SealOptions& seal) {
    command->add_option("--recipient", seal.recipients,
                        "certificate (RSA, or EC P-256/P-384) the evidence is sealed for, each "
                        "opening it alone (repeatable; default: the pinned certificate)")
        ->allow_extra_args(false);  // one file each time: never the command's arguments
    command->add_flag("--demo", seal.demo,
                      "allow the demo certificate, whose private key is public (trials only)");
}

/// The pictures `open` and `replay` draw, with the same names and meanings in both.
void addPictureOptions(CLI::App* command, penwell::tools::PictureFiles& files) {
    command->add_option("--png", files.png, "draw the signature into this PNG file");
    command->add_option("--svg", files.svg, "... into this SVG file");
    command->add_option("--pdf", files.pdf, "... into this one-page PDF file");
    command->add_option("--scale", files.scale, "PNG pixels per point")
        ->check(kFinite)
        ->check(CLI::Range(1.0, 8.0))
        ->capture_default_str();
    command->add_flag("--crop", files.crop, "cut --png, --svg and --pdf to the ink");
    command->add_flag("--background", files.background,
                      "paint the pad's background colour under the ink");
}

/// The receiver key's passphrase option.
void addPrivateKeyPassword(CLI::App* command, std::optional<std::filesystem::path>& file) {
    command->add_option("--private-key-password-file", file,
                        "--private-key's passphrase or token PIN (first line; else "
                        "$PENWELL_PRIVATE_KEY_PASSWORD)");
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Penwell signature-capture tool: demo, trace replay, the receiver, certificates"};
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("penwell ") + PENWELL_VERSION);
    app.footer(
        "Inputs must be regular files: traces and encrypted records of at most 32 MiB, "
        "certificates and keys of at most 1 MiB.");
    // One line, like every other error: the usage error and where to look.
    app.failure_message([](const CLI::App*, const CLI::Error& e) {
        return "penwell: " + std::string(e.what()) + " (see --help)\n";
    });
    std::function<int()> action;  // set by the chosen subcommand's callback

    // ---- demo ----------------------------------------------------------------------------
    penwell::tools::DemoOptions demo = penwell::tools::defaultDemoOptions();
    auto* demoCmd = app.add_subcommand(
        "demo", "Replay the bundled sample traces, write every export and open it again");
    demoCmd->add_option("--out", demo.out, "folder for the pictures, records and keys")
        ->capture_default_str();
    demoCmd->add_option("--examples", demo.examples, "folder of traces (*.json)")
        ->capture_default_str();
    demoCmd->add_option("--resources", demo.resources, "folder holding Penwell.dat")
        ->capture_default_str();
    demoCmd->add_option("--private-key", demo.privateKey, "receiver's key for that certificate")
        ->capture_default_str();
    demoCmd->add_option("--store", demo.store,
                        "certificate store file (default: a throwaway one in memory)");
    demoCmd->add_flag("--demo", demo.demo,
                      "confirm the demo certificate, whose private key is public, may seal");
    demoCmd->callback(
        [&] { action = [&] { return penwell::tools::runDemo(demo, std::cout, std::cerr); }; });

    // ---- replay --------------------------------------------------------------------------
    penwell::tools::ReplayOptions replay;
    std::string smoothing;
    float lineWidth = 0.0f;
    auto* replayCmd =
        app.add_subcommand("replay", "Run a trace through the controller and export the result");
    replayCmd->add_option("TRACE", replay.trace, "trace file (JSON, see docs/trace-format.md)")
        ->required();
    replayCmd->add_option("--pad-png", replay.padPng, "write what the pad shows at the end");
    addPictureOptions(replayCmd, replay);
    replayCmd->add_option("--png-cropped", replay.pngCropped, "write the image cut to the ink");
    replayCmd->add_flag("--json", replay.json,
                        "print the summary as JSON (sigma and sigma2 at full precision)");
    auto* dataOpt = replayCmd->add_option("--data", replay.data, "write the encrypted record");
    auto* keyOpt = replayCmd->add_option("--key", replay.key, "write the wrapped key blob");
    replayCmd->add_option("--evidence", replay.evidence,
                          "write the evidence record (CMS, docs/evidence.md)");
    replayCmd->add_option("--document", replay.document,
                          "the file being signed: its SHA-256 goes into the evidence");
    replayCmd->add_flag("--no-document", replay.noDocument, "evidence bound to no document");
    addSignOptions(replayCmd, replay.sign);
    addSealOptions(replayCmd, replay.seal);
    dataOpt->needs(keyOpt);
    keyOpt->needs(dataOpt);
    auto* smoothingOpt = addSmoothing(replayCmd, smoothing, "override the trace's smoothing");
    auto* widthOpt =
        addLineWidth(replayCmd, lineWidth, "override the trace's ink width, in points");
    replayCmd->add_option("--store", replay.store,
                          "certificate store file (default: a throwaway one in memory)");
    addResources(replayCmd, replay.resources);
    replayCmd->callback([&] {
        action = [&] {
            if (smoothingOpt->count() > 0) {
                replay.smoothing = smoothing != "off";
            }
            if (widthOpt->count() > 0) {
                replay.lineWidth = lineWidth;
            }
            return penwell::tools::runReplay(replay, std::cout, std::cerr);
        };
    });

    // ---- open ----------------------------------------------------------------------------
    penwell::tools::OpenOptions open;
    auto* openCmd = app.add_subcommand(
        "open", "Unwrap, decrypt and decode an exported signature with the receiver's key");
    openCmd
        ->add_option("--private-key", open.privateKey,
                     "receiver's private key (PEM or DER file, or a pkcs11: URI)")
        ->required();
    addPrivateKeyPassword(openCmd, open.privateKeyPasswordFile);
    auto* openData = openCmd->add_option("--data", open.data, "encrypted record");
    auto* openKey = openCmd->add_option("--key", open.key, "wrapped key blob");
    auto* openEvidence = openCmd->add_option("--evidence", open.evidence,
                                             "evidence record, instead of --data/--key");
    openData->needs(openKey);
    openKey->needs(openData);
    openEvidence->excludes(openData)->excludes(openKey);
    openCmd
        ->add_option("--document", open.document, "the signed file, checked against the evidence")
        ->needs(openEvidence);
    openCmd
        ->add_option("--private-key-cert", open.privateKeyCertificate,
                     "--private-key's certificate: only its recipient of the evidence is tried "
                     "(a record sealed for many opens at once)")
        ->needs(openEvidence);
    openCmd
        ->add_option("--trust", open.trust,
                     "accepted operator certificate or CA: the evidence must be signed by it")
        ->needs(openEvidence);
    openCmd->add_flag("--json", open.json, "print every stroke and sample as JSON");
    addPictureOptions(openCmd, open);
    std::string openSmoothing = "off";
    auto* openSmoothingOpt = addSmoothing(openCmd, openSmoothing,
                                          "smooth plain strokes, as the sender may (default: off)");
    addLineWidth(openCmd, open.lineWidth, "ink width, in points")->capture_default_str();
    openCmd->callback([&] {
        action = [&] {
            open.smoothing = openSmoothingOpt->count() > 0 && openSmoothing != "off";
            return penwell::tools::runOpen(open, std::cout);
        };
    });

    // ---- cert ----------------------------------------------------------------------------
    auto* certCmd = app.add_subcommand("cert", "Make or inspect the receiver's certificate");
    certCmd->require_subcommand(1);
    penwell::tools::CertNewOptions certNew;
    auto* certNewCmd = certCmd->add_subcommand(
        "new", "Make a self-signed CN=Keyloft certificate (Penwell.dat) and its private key");
    certNewCmd->add_option("--out", certNew.out, "folder for Penwell.dat and private-key.pem")
        ->required();
    certNewCmd->add_option("--bits", certNew.bits, "RSA key size")
        ->check(CLI::Range(1024, 16384))
        ->capture_default_str();
    certNewCmd->add_option("--days", certNew.days, "validity in days")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    certNewCmd->add_flag("--force", certNew.force, "replace existing files in the folder");
    certNewCmd->add_flag("--operator", certNew.operatorPair,
                         "make an operator's signing pair for trials (operator-certificate.pem, "
                         "operator-key.pem) instead");
    certNewCmd->add_option("--name", certNew.name, "the operator certificate's common name")
        ->capture_default_str();
    certNewCmd->callback(
        [&] { action = [&] { return penwell::tools::runCertNew(certNew, std::cout); }; });
    std::filesystem::path certFile;
    auto* certShowCmd = certCmd->add_subcommand(
        "show", "Show a certificate's subject, SHA-1 fingerprint, key size and validity");
    certShowCmd->add_option("FILE", certFile, "certificate, DER or PEM")->required();
    certShowCmd->callback(
        [&] { action = [&] { return penwell::tools::runCertShow(certFile, std::cout); }; });

    // ---- serve ---------------------------------------------------------------------------
    penwell::tools::ServeOptions serve;
    std::string serveSmoothing = "on";
    auto* serveCmd = app.add_subcommand(
        "serve",
        "Serve a signing pad to browsers: one real controller per signer, exports on Done");
    serveCmd->footer(
        "Limits: a message is at most 64 KiB and 256 samples; a pad holds at most 100000\n"
        "samples; a session that sends nothing for --idle seconds is closed, and so is one that\n"
        "sends anything malformed or out of order (the reason is logged). The page\n"
        "and its WebSocket answer only to Host and Origin localhost, 127.0.0.1, [::1] or --bind\n"
        "with the port, and to each --public-origin. Pen pressure p gives force 4p (a 0.5 press\n"
        "draws 4 points wide); touch pressure p gives force 2p; a mouse gives force 0 and is\n"
        "recorded as a mouse. A page the server has no room for waits and tries again.\n"
        "NAME.evidence (docs/evidence.md) is bound to no document: the pad does not know what\n"
        "is being signed, so the record holds no document digest. With --sign-key it is signed.\n"
        "With --document IN.pdf the page shows the PDF's page (pdf.js) and Done also writes\n"
        "NAME.pdf, IN signed as `penwell pdf sign` signs it, the evidence bound to IN's SHA-256.\n"
        "IN is read once at start and checked then; later changes to the file are not seen.");
    serveCmd->add_option("--bind", serve.bind, "address to listen on")->capture_default_str();
    serveCmd->add_option("--port", serve.port, "port to listen on (0: any free port)")
        ->check(CLI::Range(0, 65535))
        ->capture_default_str();
    serveCmd->add_option("--out", serve.out,
                         "folder where Done writes NAME.data, NAME.key, NAME.png, NAME.evidence "
                         "and clears the pad (default: the page offers the files for download)");
    addResources(serveCmd, serve.resources);
    serveCmd->add_option("--store", serve.store,
                         "certificate store file (default: a throwaway one per signer)");
    addSmoothing(serveCmd, serveSmoothing, "smooth finger strokes after a pause")
        ->default_str("on");
    addLineWidth(serveCmd, serve.lineWidth, "ink width, in points")->capture_default_str();
    serveCmd->add_option("--pad", serve.pad, "pad size WxH, in points")->capture_default_str();
    serveCmd->add_option("--max-sessions", serve.maxSessions, "signers at once")
        ->check(CLI::Range(1, 1000))
        ->capture_default_str();
    serveCmd->add_option("--idle", serve.idleSeconds, "seconds before a silent page is closed")
        ->check(CLI::Range(1, 86400))
        ->capture_default_str();
    serveCmd
        ->add_option("--max-sessions-per-address", serve.sessionsPerAddress,
                     "signers at once from one address (behind a --trusted-proxy: the client "
                     "it adds to X-Forwarded-For)")
        ->check(CLI::Range(1, 1000))
        ->capture_default_str();
    serveCmd
        ->add_option("--lang", serve.lang,
                     "the page's language: en, de, fr, or a JSON file of texts {\"fr\": {KEY: TEXT}} with the keys of host/common/wording/signer.json")
        ->capture_default_str();
    serveCmd->add_flag("--operator-controls", serve.operatorControls,
                       "show the operator's counts and settings (ink width, smoothing) on the page");
    serveCmd->add_option("--public-origin", serve.publicOrigins,
                         "origin a TLS reverse proxy serves the page under, e.g. "
                         "https://sign.example.com (repeatable)");
    serveCmd->add_option("--trusted-proxy", serve.trustedProxies,
                         "address or network (127.0.0.1, 10.0.0.0/8) of a reverse proxy whose "
                         "X-Forwarded-For is believed for the limits and the audit trail "
                         "(repeatable; default: no one's)");
    serveCmd->add_option("--brand", serve.brand,
                         "folder with the deployment's logo.svg or logo.png (at most 256 KiB) and "
                         "brand.json {\"colors\": {\"accent\": \"#0a5\", \"background\": "
                         "\"#fff\", \"text\": \"#222\"}}, shown on the pad and signing pages")
        ->option_text("DIR");
    auto* tlsCert = serveCmd->add_option(
        "--tls-cert", serve.tlsCertificate,
        "serve HTTPS and WSS with this PEM certificate chain (needs --tls-key)");
    auto* tlsKey = serveCmd->add_option(
        "--tls-key", serve.tlsKey,
        "the PEM private key of --tls-cert, unencrypted, readable by no one but its owner "
        "(and group)");
    tlsCert->needs(tlsKey);
    tlsKey->needs(tlsCert);
    serveCmd->add_option("--frame-ancestor", serve.frameAncestors,
                         "origin whose pages may show the signing page in a frame, e.g. "
                         "https://portal.example.com (repeatable; default: none may)");
    serveCmd
        ->add_option("--log-format", serve.logFormat,
                     "text, or json: one JSON object per line for a log collector")
        ->check(CLI::IsMember({"text", "json"}))
        ->capture_default_str();
    addSignOptions(serveCmd, serve.sign);
    addSealOptions(serveCmd, serve.seal);
    auto* documentOpt = serveCmd->add_option(
        "--document", serve.document.file,
        "a PDF to sign on the page (needs --sign-key); Done also writes NAME.pdf");
    std::vector<CLI::Option*> documentOptions = addPlacementOptions(serveCmd, serve.document);
    serveCmd->add_option("--tsa", serve.document.tsa,
                         "time-stamp every signature at this RFC 3161 authority's URL (PAdES "
                         "B-T); with --data also the seal, made B-LTA (needs --trust)");
    // With --document or --data (the signing links' pages show their documents with it).
    serveCmd->add_option("--pdfjs", serve.pdfjs,
                         "pdf.js's folder (default: $PENWELL_PDFJS, else libjs-pdf's)");
    for (auto* option : documentOptions) {
        option->needs(documentOpt);
    }
    serveCmd
        ->add_option("--data", serve.data,
                     "run the signing service: requests, signers and their links kept in DIR")
        ->excludes(documentOpt);
    serveCmd
        ->add_option("--webhook-url", serve.webhookUrl,
                     "with --data: where events of requests that name no webhook go")
        ->needs("--data");
    serveCmd
        ->add_option("--webhook-secret-file", serve.webhookSecretFile,
                     "with --data: the file holding the secret webhooks are signed with "
                     "(e.g. made by `openssl rand -hex 32`); without it no event is sent")
        ->needs("--data");
    serveCmd
        ->add_option("--trust", serve.trust,
                     "with --data and --tsa: certificates where the chains of the B-LTA seal's "
                     "validation data end, PEM or DER; repeatable")
        ->needs("--data");
    serveCmd
        ->add_option("--retention", serve.retentionDays,
                     "with --data: delete the samples and files of requests that ended more "
                     "than DAYS ago (the rows and the audit trail stay); default: keep them")
        ->check(CLI::Range(1, 36500))
        ->option_text("DAYS")
        ->needs("--data");
    // serve keys add|list|revoke: the API keys of a --data folder.
    penwell::tools::ServeKeysOptions keys;
    auto* keysCmd = serveCmd->add_subcommand("keys", "The signing service's API keys");
    keysCmd->require_subcommand(1);
    using KeysAction = penwell::tools::ServeKeysOptions::Action;
    for (const auto& [name, what, kind] :
         {std::tuple{"add", "Make a key NAME and print it (only this once)", KeysAction::add},
          std::tuple{"list", "List the keys: name, created, revoked", KeysAction::list},
          std::tuple{"revoke", "Revoke the key NAME for good", KeysAction::revoke}}) {
        auto* command = keysCmd->add_subcommand(name, what);
        if (kind != KeysAction::list) {
            command->add_option("NAME", keys.name, "the key's name")->required();
        }
        command->add_option("--data", keys.data, "the signing service's folder")->required();
        command->callback([&keys, &action, kind] {
            keys.action = kind;
            action = [&keys] { return penwell::tools::runServeKeys(keys, std::cout); };
        });
    }
    serveCmd->callback([&] {
        if (keysCmd->parsed()) {
            return;  // a keys command runs instead of the server
        }
        action = [&] {
            serve.smoothing = serveSmoothing != "off";
            return penwell::tools::runServe(serve, std::cout, std::cerr);
        };
    });

#ifdef PENWELL_WITH_DESK
    // ---- desk ----------------------------------------------------------------------------
    penwell::tools::DeskOptions desk;
    std::string deskSmoothing = "on";
    auto* deskCmd = app.add_subcommand(
        "desk", "A desktop signing app: the PDF beside a pad for a pen tablet, touch or mouse");
    deskCmd->footer(
        "The document is shown with the place of the signature marked; the pad is beside it, or\n"
        "full-screen on --pad-screen N (a pen display beside the clerk's monitor). Done signs the\n"
        "PDF as `penwell pdf sign` does and writes NAME.data, NAME.key, NAME.png, NAME.evidence\n"
        "and NAME.pdf into --out, printing the path of each; then the desk closes (--kiosk:\n"
        "full-screen, and the pad starts again for the next signer). Pointers map as in serve.\n"
        "The document is read once at start. Qt picks the display ($DISPLAY, $WAYLAND_DISPLAY,\n"
        "$QT_QPA_PLATFORM).");
    deskCmd->add_option("DOCUMENT", desk.document.file, "the PDF to sign")->required();
    addPlacementOptions(deskCmd, desk.document);
    deskCmd->add_option("--out", desk.out, "folder where Done writes")->capture_default_str();
    deskCmd->add_option("--pad-screen", desk.padScreen,
                        "show the pad full-screen on this screen (0 is the first)")
        ->check(CLI::NonNegativeNumber);
    deskCmd->add_flag("--kiosk", desk.kiosk,
                      "full-screen; start again after each signature instead of closing");
    addCertifyOption(deskCmd, desk.document);
    deskCmd->add_option("--lang", desk.lang, "the signer's language, as serve's --lang: en, de, fr, or a JSON file of texts")
        ->capture_default_str();
    deskCmd->add_option("--pad", desk.pad, "pad size WxH, in points")->capture_default_str();
    addSmoothing(deskCmd, deskSmoothing, "smooth finger strokes after a pause")
        ->capture_default_str();
    addLineWidth(deskCmd, desk.lineWidth, "ink width, in points")->capture_default_str();
    addResources(deskCmd, desk.resources);
    deskCmd->add_option("--store", desk.store,
                        "certificate store file (default: a throwaway one in memory)");
    addSignOptions(deskCmd, desk.sign);
    addSealOptions(deskCmd, desk.seal);
    deskCmd->callback([&] {
        action = [&] {
            desk.smoothing = deskSmoothing != "off";  // --smoothing alone: on
            return penwell::tools::runDesk(desk, std::cout, std::cerr);
        };
    });
#endif

    penwell::tools::addVerifyCommand(app, action);
#ifdef PENWELL_WITH_PDF
    // ---- pdf -----------------------------------------------------------------------------
    auto* pdfCmd =
        app.add_subcommand("pdf", "Sign a PDF with a handwritten signature, or verify one");
    pdfCmd->require_subcommand(1);
    penwell::tools::PdfSignOptions pdfSign;
    auto* pdfSignCmd = pdfCmd->add_subcommand(
        "sign", "Append a visible PAdES signature with the handwriting to IN, writing OUT");
    pdfSignCmd->footer(
        "--rect is in PDF points (1/72 inch) from the lower-left corner of the page's crop box,\n"
        "x right and y up in the page's own coordinates (before /Rotate); it must lie on the\n"
        "page. The ink is fitted into it with its aspect kept, upright as the page is read. IN\n"
        "stays a byte prefix of OUT; an existing OUT needs --force. A certified document that\n"
        "allows no changes is refused. Documents of at most 256 MiB. A PKCS#12 --sign-key's\n"
        "password, an encrypted key's passphrase or a token's PIN comes from\n"
        "--sign-password-file or $PENWELL_SIGN_PASSWORD.\n"
        "The signature is one of --trace, --evidence or --data/--key; the evidence record\n"
        "embedded is bound to IN's SHA-256, sealed for each --recipient (else the pinned receiver\n"
        "certificate) and signed with --sign-key. --evidence must already be bound to IN.");
    pdfSignCmd->add_option("IN", pdfSign.in.file, "the PDF to sign")->required();
    pdfSignCmd->add_option("OUT", pdfSign.out, "the signed PDF to write")->required();
    addPlacementOptions(pdfSignCmd, pdfSign.in);
    pdfSignCmd->add_option("--trace", pdfSign.trace, "the handwriting, as a trace");
    pdfSignCmd->add_option("--evidence", pdfSign.evidence, "... or an evidence record bound to IN");
    pdfSignCmd->add_option("--data", pdfSign.data, "... or an encrypted record, with --key");
    pdfSignCmd->add_option("--key", pdfSign.key, "the record's wrapped key");
    pdfSignCmd->add_option("--private-key", pdfSign.privateKey,
                           "receiver's key, opening --evidence or --data");
    addPrivateKeyPassword(pdfSignCmd, pdfSign.privateKeyPasswordFile);
    addSignOptions(pdfSignCmd, pdfSign.sign)->required();
    addSealOptions(pdfSignCmd, pdfSign.seal);
    addResources(pdfSignCmd, pdfSign.resources);
    addCertifyOption(pdfSignCmd, pdfSign.in);
    pdfSignCmd->add_flag("--force", pdfSign.force, "replace OUT if it exists");
    pdfSignCmd->add_option("--tsa", pdfSign.tsa,
                           "time-stamp the signature at this RFC 3161 authority's URL (PAdES B-T)");
    pdfSignCmd->add_option("--level", pdfSign.longTerm.level,
                           "B-B, B-T (with --tsa), B-LT (also --trust: adds the validation "
                           "data, a /DSS) or B-LTA (and a document time-stamp); default B-T "
                           "with --tsa, else B-B");
    addValidationSources(pdfSignCmd, pdfSign.longTerm);
    pdfSignCmd->callback([&] {
        action = [&] { return penwell::tools::runPdfSign(pdfSign, std::cout, std::cerr); };
    });
    penwell::tools::PdfAugmentOptions pdfAugment;
    auto* pdfAugmentCmd = pdfCmd->add_subcommand(
        "augment", "Raise IN's signatures to B-LT or B-LTA (or renew B-LTA), writing OUT");
    pdfAugmentCmd->footer(
        "B-LT appends the validation data of every signature and time-stamp token (chains to\n"
        "--trust, OCSP answers or CRLs) in the catalog's /DSS; B-LTA then appends a document\n"
        "time-stamp from --tsa. Run on a B-LTA file before its last time-stamp's certificate\n"
        "expires, it renews the proof. IN stays a byte prefix of OUT.");
    pdfAugmentCmd->add_option("IN", pdfAugment.in, "the signed PDF")->required();
    pdfAugmentCmd->add_option("OUT", pdfAugment.out, "the PDF to write")->required();
    pdfAugmentCmd->add_option("--level", pdfAugment.longTerm.level, "B-LT or B-LTA")->required();
    pdfAugmentCmd->add_option("--tsa", pdfAugment.tsa,
                              "the RFC 3161 authority of B-LTA's document time-stamp");
    addValidationSources(pdfAugmentCmd, pdfAugment.longTerm);
    pdfAugmentCmd->add_flag("--force", pdfAugment.force, "replace OUT if it exists");
    pdfAugmentCmd->callback(
        [&] { action = [&] { return penwell::tools::runPdfAugment(pdfAugment, std::cout); }; });
    penwell::tools::PdfVerifyOptions pdfVerify;
    auto* pdfVerifyCmd = pdfCmd->add_subcommand(
        "verify", "List every signature of a PDF and check it; exit 0 only when all check out");
    pdfVerifyCmd->add_option("SIGNED", pdfVerify.file, "the signed PDF")->required();
    pdfVerifyCmd->add_option("--private-key", pdfVerify.privateKey,
                             "receiver's key, to open Penwell evidence");
    addPrivateKeyPassword(pdfVerifyCmd, pdfVerify.privateKeyPasswordFile);
    pdfVerifyCmd->add_option("--trust", pdfVerify.trust,
                             "accepted signer certificates or CAs (every one in the file; the "
                             "option may be repeated)");
    pdfVerifyCmd->add_flag("--json", pdfVerify.json, "print the reports as JSON");
    auto* offlineOpt = pdfVerifyCmd->add_flag(
        "--offline", pdfVerify.offline,
        "judge each signer from what the file carries alone (its time-stamps and /DSS), as an "
        "archive would years later; needs --trust");
    pdfVerifyCmd
        ->add_option("--at", pdfVerify.at,
                     "with --offline: judge as of this UTC time (YYYY-MM-DD or "
                     "YYYY-MM-DDTHH:MM:SSZ), not now")
        ->needs(offlineOpt);
    pdfVerifyCmd->footer(
        "Exit code 0: every signature is valid, changed after it only as the document allows,\n"
        "and made by a signer --trust accepts. 1: some signature does not check out. 3: every\n"
        "signature is intact, but without --trust no signer was checked.");
    pdfVerifyCmd->add_option("--png", pdfVerify.png,
                             "the ink of the newest opened evidence, as PNG (--private-key)");
    pdfVerifyCmd->callback(
        [&] { action = [&] { return penwell::tools::runPdfVerify(pdfVerify, std::cout); }; });
#endif

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return 2;
    }
    return action ? penwell::tools::runCommand(action, std::cerr) : penwell::tools::kExitUsage;
}
