#pragma once
// The subcommands of the penwell tool, apart from their command-line parsing (penwell.cpp),
// so tests can run them directly. Each returns the process exit code and throws ToolError for
// anything it cannot do; output files are staged and committed together, so on failure every
// output keeps its previous contents (or stays absent). Warnings go to `err`, one line each.

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "penwell/host/common/DocumentRequest.h"
#include "penwell/platform/Cms.h"
#include "penwell/platform/Defaults.h"
#include "penwell/platform/Image.h"
#include "penwell/platform/Keys.h"
#include "penwell/platform/filesystem/StagedFile.h"

namespace penwell::tools {

/// The pictures of a signature that `open` and `replay` draw; each file is optional.
struct PictureFiles {
    std::optional<std::filesystem::path> png;
    std::optional<std::filesystem::path> svg;
    std::optional<std::filesystem::path> pdf;
    double scale = 1.0;       ///< PNG pixels per point, 1 to 8
    bool crop = false;        ///< cut every picture to the ink
    bool background = false;  ///< the pad's background colour under the ink
};

struct OpenOptions : PictureFiles {
    std::filesystem::path privateKey;  ///< a key file, or a PKCS#11 URI
    /// The key's passphrase or the token's PIN; else $PENWELL_PRIVATE_KEY_PASSWORD.
    std::optional<std::filesystem::path> privateKeyPasswordFile;
    std::filesystem::path data;  ///< with key: the record and its wrapped key
    std::filesystem::path key;
    std::optional<std::filesystem::path> evidence;  ///< instead of data and key
    /// The certificate of privateKey: only its recipient of the evidence is tried.
    std::optional<std::filesystem::path> privateKeyCertificate;
    std::optional<std::filesystem::path> document;  ///< must be what the evidence names
    std::vector<std::filesystem::path> trust;       ///< accepted operator certificates or CAs
    bool json = false;  ///< every stroke and sample as JSON, signed positions beside the fields
    bool smoothing = false;
    double lineWidth = 3.0;
};
int runOpen(const OpenOptions& options, std::ostream& out);

struct CertNewOptions {
    std::filesystem::path out;
    /// An operator's signing pair (operator-certificate.pem, operator-key.pem) named
    /// `name`, instead of the receiver's Keyloft pair.
    bool operatorPair = false;
    std::string name = "Penwell capture station";
    int bits = 2048;
    int days = 3650;
    bool force = false;
};
int runCertNew(const CertNewOptions& options, std::ostream& out);

int runCertShow(const std::filesystem::path& file, std::ostream& out);

/// The capture station's operator key, which signs evidence records and PDFs: --sign-key,
/// --sign-cert, --sign-chain and --sign-password-file (platform/SigningIdentityFiles.h says
/// what each may be).
struct SignOptions {
    std::optional<std::filesystem::path> key;  ///< PEM, DER, PKCS#12 or a pkcs11: URI
    std::optional<std::filesystem::path> certificate;
    std::optional<std::filesystem::path> chain;
    std::optional<std::filesystem::path> passwordFile;  ///< else $PENWELL_SIGN_PASSWORD
};
/// The identity they name (platform/SigningIdentityFiles.h), or none without --sign-key (then
/// --sign-cert, --sign-chain and --sign-password-file are refused: they would be ignored).
std::optional<SigningIdentity> loadSigningIdentity(const SignOptions& options);

/// The environment variable that holds the receiver's key passphrase or token PIN.
inline constexpr const char* kPrivateKeyPasswordVariable = "PENWELL_PRIVATE_KEY_PASSWORD";
/// The receiver's key as --private-key names it (a file or a PKCS#11 URI), its secret from
/// --private-key-password-file or $PENWELL_PRIVATE_KEY_PASSWORD.
KeyLocation receiverKey(const std::filesystem::path& key,
                        const std::optional<std::filesystem::path>& passwordFile);

/// Who a command seals for: --recipient and --demo.
struct SealOptions {
    std::vector<std::filesystem::path> recipients;  ///< the evidence's; none: the pinned one
    bool demo = false;  ///< the demo certificate may seal (a trial), with a warning
};
struct SealPlan {
    std::vector<Bytes> recipients;  ///< for EvidenceOptions::recipients
    std::string warning;            ///< to print once for this use; empty: no demo certificate
};
/// Reads and checks the recipients and refuses the demo certificate unless `options.demo`.
/// `pinned`: the pinned certificate seals something besides the evidence (the encrypted
/// record's key); `evidence`: the command seals evidence.
SealPlan sealFor(const SealOptions& options, bool pinned, bool evidence);
/// Prints the plan's warning on `err`, "penwell: warning: ...", when it has one.
void warnOfDemo(const SealPlan& plan, std::ostream& err);

/// Stages `image` as a PNG at `target`; answers where it is written until the commit.
std::filesystem::path stagePng(filesystem::StagedOutputs& outputs,
                               const std::filesystem::path& target, const Image& image);

struct ReplayOptions : PictureFiles {
    std::filesystem::path trace;
    std::optional<std::filesystem::path> padPng;      ///< what a person sees of the pad
    std::optional<std::filesystem::path> pngCropped;  ///< the PNG cut to the ink
    bool json = false;                                ///< the session summary as JSON
    std::optional<std::filesystem::path> data;        ///< the encrypted record
    std::optional<std::filesystem::path> key;         ///< the wrapped key blob
    std::optional<std::filesystem::path> evidence;    ///< the evidence record
    std::optional<std::filesystem::path> document;    ///< what the evidence is bound to
    bool noDocument = false;                          ///< evidence bound to no document
    SignOptions sign;                                 ///< the operator key that signs it
    SealOptions seal;                                 ///< who the evidence is sealed for
    std::optional<bool> smoothing;
    std::optional<float> lineWidth;
    std::optional<std::filesystem::path> store;  ///< default: a throwaway store in memory
    std::optional<std::filesystem::path> resources;
};
int runReplay(const ReplayOptions& options, std::ostream& out, std::ostream& err);

struct DemoOptions {
    std::filesystem::path out = "out";
    std::filesystem::path examples;              ///< folder of *.json traces
    std::filesystem::path resources;             ///< folder holding Penwell.dat
    std::filesystem::path privateKey;            ///< the receiver's key for that certificate
    std::optional<std::filesystem::path> store;  ///< default: a throwaway store in memory
    bool demo = false;  ///< required: the demo seals with the demo certificate
};
/// The demo's defaults: the repository's examples/ and demo-certificate/ folders.
DemoOptions defaultDemoOptions();
int runDemo(const DemoOptions& options, std::ostream& out, std::ostream& err);

struct ServeOptions {
    std::string bind = "127.0.0.1";
    int port = 8080;                           ///< 0 picks a free port
    std::optional<std::filesystem::path> out;  ///< Done writes here; else the page downloads
    std::optional<std::filesystem::path> resources;
    std::optional<std::filesystem::path> store;  ///< default: a throwaway in-memory store
    bool smoothing = true;
    float lineWidth = 3.0f;
    std::string pad = "600x250";  ///< WxH in points
    int maxSessions = 16;
    int sessionsPerAddress = 4;  ///< at once, from one signer's address
    int idleSeconds = 300;
    std::string lang = "en";  ///< the page's language: a shipped one's code, or a JSON file
    bool operatorControls = false;  ///< the page shows the operator's counts and settings
    std::vector<std::string> publicOrigins;
    /// Peers (addresses or networks) whose X-Forwarded-For is believed; none: no one's.
    std::vector<std::string> trustedProxies;
    /// A folder with the deployment's logo.svg or logo.png and brand.json (its colours).
    std::optional<std::filesystem::path> brand;
    /// In-process TLS: the PEM certificate chain and its key; both or neither.
    std::optional<std::filesystem::path> tlsCertificate;
    std::optional<std::filesystem::path> tlsKey;
    std::vector<std::string> frameAncestors;  ///< origins that may frame the page
    std::string logFormat = "text";           ///< text or json
    SignOptions sign;  ///< when given, every evidence record is signed with it
    SealOptions seal;  ///< who every evidence record is sealed for
    /// A PDF to sign on the page (none when its file is empty), placed as `pdf sign` places
    /// it; needs `sign`.
    host::DocumentRequest document;
    std::optional<std::filesystem::path> pdfjs;  ///< pdf.js's folder (libjs-pdf)
    /// The signing service's folder: its database and the documents' revisions.
    std::optional<std::filesystem::path> data;
    /// Where webhook events go for requests that name no URL; empty: nowhere.
    std::string webhookUrl;
    /// The file holding the webhook HMAC secret; without it no event is sent (they wait).
    std::optional<std::filesystem::path> webhookSecretFile;
    /// With `data` and a TSA (document.tsa): where the B-LTA seal's chains end.
    std::vector<std::filesystem::path> trust;
    /// Days after its end a request keeps its samples and files (1 to 36500); none: for ever.
    std::optional<int> retentionDays;
};
/// Serves the signing page until Ctrl-C; prints the page's address on `out` first, and a
/// warning on `err` when the demo certificate seals.
int runServe(const ServeOptions& options, std::ostream& out, std::ostream& err);

/// `serve keys add|list|revoke`: the signing service's API keys in the folder `data`.
struct ServeKeysOptions {
    enum class Action { add, list, revoke };
    Action action = Action::list;
    std::string name;  ///< the key's, for add and revoke
    std::filesystem::path data;
};
/// add prints the new key (only this once: the folder keeps its hash); list prints each key's
/// name, creation and revocation in UTC; revoke ends a key for good. A malformed name exits 2,
/// a taken or unknown one 1.
int runServeKeys(const ServeKeysOptions& options, std::ostream& out);

/// Checks done before a signing station opens, so a signer never signs for nothing: `folder`
/// (made owner-only when missing) takes files; and a short signature is exported through the
/// same path as a signer's Done, so the resources, the pin, the store, the operator key and
/// the recipients are checked as Done would check them.
void checkWritable(const std::filesystem::path& folder);
void checkKeyWrap(const ServiceOptions& services, const std::optional<SigningIdentity>& signer,
                  const std::vector<Bytes>& recipients);
/// A pad size "WxH" in points, each side from 1 to 4096.
Size parsePad(const std::string& text);

struct DeskOptions {
    host::DocumentRequest document;  ///< the PDF to sign
    SignOptions sign;  ///< the operator key: signs the PDF and every evidence record
    SealOptions seal;  ///< who every evidence record is sealed for
    std::optional<std::filesystem::path> resources;
    std::optional<std::filesystem::path> store;  ///< default: a throwaway in-memory store
    std::filesystem::path out = "signatures";    ///< where Done writes
    std::optional<int> padScreen;                ///< the pad full-screen on this screen
    bool kiosk = false;  ///< full-screen, and start again after each signature
    std::string lang = "en";
    std::string pad = "600x250";
    bool smoothing = true;
    float lineWidth = 3.0f;
};
/// The desktop signing app until its window closes: prints each signature's file name stem on
/// `out` as it is saved. Without --kiosk it closes once the document is signed; closed without
/// a signature it fails.
int runDesk(const DeskOptions& options, std::ostream& out, std::ostream& err);

/// The PAdES level to reach and what long-term validation data comes from (pdf sign, serve).
struct LongTermOptions {
    /// "B-B", "B-T" (needs a TSA), "B-LT" (also --trust), "B-LTA" (a document time-stamp
    /// after the validation data); nil: B-T with a TSA, else B-B.
    std::optional<std::string> level;
    std::vector<std::filesystem::path> trust, ocsp, crls;
};

struct PdfSignOptions {
    host::DocumentRequest in;  ///< IN and where the signature goes on it
    std::filesystem::path out;
    /// The signature, exactly one of: a trace replayed through the controller; an evidence
    /// record bound to IN; a record and its wrapped key. The last two are opened with
    /// privateKey (the receiver's) to draw the ink.
    std::optional<std::filesystem::path> trace;
    std::optional<std::filesystem::path> evidence;
    std::optional<std::filesystem::path> data, key;
    std::optional<std::filesystem::path> privateKey;
    std::optional<std::filesystem::path> privateKeyPasswordFile;
    SignOptions sign;  ///< the operator key, required: it signs the PDF and the evidence
    SealOptions seal;  ///< who the evidence made here (--trace, --data) is sealed for
    std::optional<std::filesystem::path> resources;  ///< the folder holding Penwell.dat
    bool force = false;  ///< replace an existing OUT
    std::optional<std::string> tsa;  ///< a time-stamp authority's URL: the signature is B-T
    LongTermOptions longTerm;
};
/// Signs IN into OUT (an incremental update: IN is a prefix of OUT). A password, passphrase or
/// PIN comes from its file or the environment, never the command line.
int runPdfSign(const PdfSignOptions& options, std::ostream& out, std::ostream& err);

struct PdfVerifyOptions {
    std::filesystem::path file;
    std::optional<std::filesystem::path> privateKey;  ///< the receiver's, to open evidence
    std::optional<std::filesystem::path> privateKeyPasswordFile;
    /// Files of accepted signer certificates or CAs; every certificate of every file counts,
    /// for the PDF signatures and the evidence records alike.
    std::vector<std::filesystem::path> trust;
    std::optional<std::filesystem::path> png;  ///< the ink of the newest opened evidence record
    bool json = false;                         ///< the reports as one JSON object
    /// Judge every signer from what the file carries (its time-stamps and /DSS) alone.
    bool offline = false;
    /// With `offline`: as of this UTC time, "YYYY-MM-DD" or "YYYY-MM-DDTHH:MM:SSZ", not now.
    std::optional<std::string> at;
};
/// The exit code of `pdf verify` when every signature is intact but, without --trust, no
/// signer was checked.
inline constexpr int kPdfIntactUntrusted = 3;
/// Lists every signature, and the audit trail a sealed document carries; 0 only when every
/// signature checks out and its signer is trusted, 1 when any does not check out or the trail
/// does not (a broken chain, no valid signature over it), kPdfIntactUntrusted when all are
/// intact but no --trust was given.
int runPdfVerify(const PdfVerifyOptions& options, std::ostream& out);

struct PdfAugmentOptions {
    std::filesystem::path in, out;
    std::optional<std::string> tsa;  ///< for B-LTA's document time-stamp
    LongTermOptions longTerm;        ///< level B-LT or B-LTA
    bool force = false;
};
/// Raises every signature of IN to B-LT (validation data in /DSS) or B-LTA (and a document
/// time-stamp after it), writing OUT; IN stays a prefix of OUT. Run on a B-LTA file before
/// its last time-stamp's certificate expires, it renews the proof.
int runPdfAugment(const PdfAugmentOptions& options, std::ostream& out);

/// File names that `cert new` writes into its folder.
inline constexpr const char* kCertificateFileName = "Penwell.dat";
inline constexpr const char* kPrivateKeyFileName = "private-key.pem";
/// File names that `cert new --operator` writes.
inline constexpr const char* kOperatorCertificateFileName = "operator-certificate.pem";
inline constexpr const char* kOperatorKeyFileName = "operator-key.pem";

}  // namespace penwell::tools
