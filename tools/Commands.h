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

#include "platform/Cms.h"
#include "platform/Image.h"
#include "platform/filesystem/StagedFile.h"

namespace penwell::tools {

struct OpenOptions {
    std::filesystem::path privateKey;
    std::filesystem::path data;  ///< with key: the record and its wrapped key
    std::filesystem::path key;
    std::optional<std::filesystem::path> evidence;  ///< instead of data and key
    std::optional<std::filesystem::path> document;  ///< must be what the evidence names
    std::vector<std::filesystem::path> trust;       ///< accepted operator certificates or CAs
    bool json = false;  ///< every stroke and sample as JSON, signed positions beside the fields
    std::optional<std::filesystem::path> png;
    std::optional<std::filesystem::path> svg;
    std::optional<std::filesystem::path> pdf;
    double scale = 1.0;  ///< PNG pixels per point
    bool crop = false;
    bool background = false;  ///< the pad's white background under the ink
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

/// The capture station's operator key, which signs evidence records: --sign-key,
/// --sign-cert and --sign-password-file.
struct SignOptions {
    std::optional<std::filesystem::path> key;  ///< PEM, DER or PKCS#12
    std::optional<std::filesystem::path> certificate;
    std::optional<std::filesystem::path> passwordFile;  ///< else $PENWELL_SIGN_PASSWORD
};
/// The identity they name (host/common/EvidenceInputs.h), or none without --sign-key (then
/// --sign-cert and --sign-password-file are refused: they would be ignored).
std::optional<SigningIdentity> loadSigningIdentity(const SignOptions& options);

/// Stages `image` as a PNG at `target`; answers where it is written until the commit.
std::filesystem::path stagePng(filesystem::StagedOutputs& outputs,
                               const std::filesystem::path& target, const Image& image);

struct ReplayOptions {
    std::filesystem::path trace;
    std::optional<std::filesystem::path> padPng;      ///< what a person sees of the pad
    std::optional<std::filesystem::path> png;         ///< the exported signature image
    std::optional<std::filesystem::path> pngCropped;  ///< ... cut to the ink
    std::optional<std::filesystem::path> svg;         ///< ... as SVG
    std::optional<std::filesystem::path> pdf;         ///< ... as PDF
    bool crop = false;                                ///< crop --png, --svg and --pdf to the ink
    double scale = 1.0;                               ///< PNG pixels per point, 1 to 8
    bool background = false;                          ///< the pad's background colour under the ink
    bool json = false;                                ///< the session summary as JSON
    std::optional<std::filesystem::path> data;        ///< the encrypted record
    std::optional<std::filesystem::path> key;         ///< the wrapped key blob
    std::optional<std::filesystem::path> evidence;    ///< the evidence record
    std::optional<std::filesystem::path> document;    ///< what the evidence is bound to
    bool noDocument = false;                          ///< evidence bound to no document
    SignOptions sign;                                 ///< the operator key that signs it
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
    SignOptions sign;  ///< when given, every evidence record is signed with it
    /// A PDF to sign on the page, placed as `pdf sign` places it; needs `sign`.
    std::optional<std::filesystem::path> document;
    std::optional<std::string> field;
    int page = 1;
    std::optional<std::string> rect;
    std::string reason, location, name;
    std::optional<std::filesystem::path> pdfjs;  ///< pdf.js's folder (libjs-pdf)
};
/// Serves the signing page until Ctrl-C; prints the page's address on `out` first.
int runServe(const ServeOptions& options, std::ostream& out);

struct PdfSignOptions {
    std::filesystem::path in;
    std::filesystem::path out;
    std::optional<std::string> field;  ///< an existing empty signature field, or:
    int page = 1;
    std::optional<std::string> rect;  ///< "X,Y,W,H" in points from the page's lower-left corner
    /// The signature, exactly one of: a trace replayed through the controller; an evidence
    /// record bound to IN; a record and its wrapped key. The last two are opened with
    /// privateKey (the receiver's) to draw the ink.
    std::optional<std::filesystem::path> trace;
    std::optional<std::filesystem::path> evidence;
    std::optional<std::filesystem::path> data, key;
    std::optional<std::filesystem::path> privateKey;
    std::filesystem::path signKey;  ///< PEM or DER key, or PKCS#12 (then no --sign-cert)
    std::optional<std::filesystem::path> signCert;
    std::string reason, location, name;
};
/// Signs IN into OUT (an incremental update: IN is a prefix of OUT). The PKCS#12 password
/// comes from $PENWELL_SIGN_PASSWORD, never the command line.
int runPdfSign(const PdfSignOptions& options, std::ostream& out, std::ostream& err);

struct PdfVerifyOptions {
    std::filesystem::path file;
    std::optional<std::filesystem::path> privateKey;  ///< the receiver's, to open evidence
    std::optional<std::filesystem::path> trust;       ///< accepted signer certificates or CAs
    std::optional<std::filesystem::path> png;         ///< the ink of every opened evidence record
};
/// Lists every signature; 0 only when every one checks out.
int runPdfVerify(const PdfVerifyOptions& options, std::ostream& out);

/// File names that `cert new` writes into its folder.
inline constexpr const char* kCertificateFileName = "Penwell.dat";
inline constexpr const char* kPrivateKeyFileName = "private-key.pem";
/// File names that `cert new --operator` writes.
inline constexpr const char* kOperatorCertificateFileName = "operator-certificate.pem";
inline constexpr const char* kOperatorKeyFileName = "operator-key.pem";

}  // namespace penwell::tools
