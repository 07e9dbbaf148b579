// Done: the signature turned into its files through the one export path, written all or
// nothing to --out or offered to the page, and the page told the outcome in a word it shows the
// signer while the log keeps the reason.

#include <cmath>
#include <nlohmann/json.hpp>

#include "penwell/host/common/SignatureBundle.h"
#include "penwell/host/web/Session.h"
#include "penwell/platform/openssl/Base64.h"

namespace penwell::web {

namespace {

using Json = nlohmann::json;

Json statistic(double value) {
    return std::isnan(value) ? Json(nullptr) : Json(value);
}

}  // namespace

void SigningSession::doneFailed(const char* code, const std::string& why) {
    if (!why.empty()) {
        note("Done saved nothing: " + why);
    }
    sink_.sendText(Json{{"type", "done"}, {"ok", false}, {"code", code}}.dump());
}

void SigningSession::done() {
    PenwellViewController& c = *controller_;
    if (!c.isSignature()) {
        doneFailed(kDoneTooShort);
        return;
    }
    if (settings_.document && !documentShown_) {
        // The signer must have seen what they sign: a page that could not draw the document
        // never says it did.
        doneFailed(kDoneNotShown, "the page never reported the document shown");
        return;
    }
    host::BundleSettings bundleSettings;
    bundleSettings.signer = settings_.signer;
    bundleSettings.recipients = settings_.recipients;
    bundleSettings.fields = settings_.fields;
    if (const auto& document = settings_.document) {
        bundleSettings.documentSha256 = document->digest();
        bundleSettings.fields.push_back(
            {kDocumentShownField, "page " + std::to_string(*documentShown_) +
                                      ", drawn on the signing page before Done"});
        bundleSettings.signDocument = [this, &document](PenwellViewController& controller,
                                                        const Bytes& evidence) {
            // What `pdf sign` would print (a PDF/A input the signature takes out of
            // conformance) goes to the operator's log, as that command's warnings do.
            return document->sign(controller, evidence, [this](const std::string& warning) {
                sink_.log("warning: " + warning);
            });
        };
    }
    Result<host::SignatureBundle> made = host::exportBundle(c, *services_.graphics, bundleSettings);
    if (!made) {
        const Failure& failure = made.error();
        // The server was started without the receiver's certificate: nothing the page can fix.
        const bool noCertificate =
            failure.domain == host::kBundleErrorDomain &&
            failure.code == static_cast<std::int64_t>(host::BundleError::noCertificate);
        doneFailed(kDoneNotSaved, noCertificate ? "the server cannot export: no usable "
                                                  "Penwell.dat (start it with --resources)"
                                                : failure.message);
        return;
    }
    const host::SignatureBundle& bundle = *made;
    Json reply{{"type", "done"}, {"ok", true}};
    reply["sigma"] = statistic(bundle.sigma);
    reply["sigma2"] = statistic(bundle.sigma2);
    reply["samples"] = bundle.samples;
    if (settings_.deliver) {
        if (const MaybeFailure refused = settings_.deliver(bundle)) {
            doneFailed(kDoneNotSaved, refused->message);
            return;
        }
        reply["signed"] = true;  // the link has done its work: the page says so and closes
        c.clearSignature();      // kept by the request now; a dropped page has nothing to resume
    } else if (settings_.out) {
        // All or nothing: the files appear together or not at all.
        const Result<std::string> written = host::writeBundle(bundle, *settings_.out);
        if (!written) {
            // The signer keeps the signature on the pad and may press Done again.
            doneFailed(kDoneNotSaved, written.error().message);
            return;
        }
        if (bundle.signedDocument) {
            reply["document"] = *written + host::kSignedDocumentExtension;
        }
        reply["name"] = *written;
        note("saved " + *written);
        c.clearSignature();
    } else {
        reply["files"] = {
            {{"name", "signature.data"}, {"base64", openssl::base64(bundle.data)}},
            {{"name", "signature.key"}, {"base64", openssl::base64(bundle.key)}},
            {{"name", "signature.png"}, {"base64", openssl::base64(bundle.png)}},
            {{"name", "signature.evidence"}, {"base64", openssl::base64(bundle.evidence)}}};
        if (bundle.signedDocument) {
            reply["files"].push_back(
                {{"name", "signed.pdf"}, {"base64", openssl::base64(*bundle.signedDocument)}});
        }
    }
    if (!settings_.demoWarning.empty()) {
        sink_.log("warning: " + settings_.demoWarning);
    }
    sink_.sendText(reply.dump());
}

}  // namespace penwell::web
