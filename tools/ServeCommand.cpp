// penwell serve: the signing pad in a browser, backed by a real controller per signer.

#include <charconv>
#include <fstream>
#include <thread>

#include "penwell/host/common/EvidenceInputs.h"
#include "penwell/host/common/Replay.h"
#include "penwell/host/common/SignatureBundle.h"
#include "penwell/host/web/SignableDocument.h"
#include "penwell/host/web/Server.h"
#include "penwell/host/web/TrustedProxies.h"
#include "penwell/platform/curl/CurlHttpClient.h"
#include "penwell/platform/filesystem/StagedFile.h"
#include "penwell/service/Retention.h"
#include "penwell/service/SigningService.h"
#include "penwell/service/WebhookDelivery.h"
#include "penwell/service/sqlite/SqliteSigningStore.h"
#include "penwell/tools/Commands.h"
#include "penwell/tools/ToolError.h"

#ifdef PENWELL_WITH_PDF
#include "penwell/pdf/PdfSignature.h"
#endif

namespace penwell::tools {

// The libraries under the commands: they answer failures as values, must() prints them.
using namespace penwell::host;

namespace {

/// The webhook secret from its file, a trailing line break dropped: a short one would let a
/// receiver's forger guess the HMAC key.
std::string webhookSecret(const std::filesystem::path& file) {
    Bytes bytes = must(filesystem::readFile(file, 4096, "a webhook secret"), kExitUsage);
    std::string secret(bytes.begin(), bytes.end());
    while (!secret.empty() && (secret.back() == '\n' || secret.back() == '\r')) {
        secret.pop_back();
    }
    if (secret.size() < 16) {
        throw UsageError("--webhook-secret-file: " + file.string() +
                         " holds fewer than 16 characters; make one with `openssl rand -hex 32`");
    }
    return secret;
}

/// Webhooks POSTed by libcurl, bounded as every HTTP exchange of the tool is.
service::WebhookPost webhookPoster() {
    auto client = std::make_shared<curl::CurlHttpClient>();
    return [client](const std::string& url, const service::HttpHeaders& headers,
                    const std::string& body) -> Result<int> {
        HttpHeaders extra;
        for (const auto& header : headers) {
            if (header.first != "Content-Type") {
                extra.push_back(header);
            }
        }
        auto answer = client->post(url, "application/json", asBytes(body), extra);
        if (!answer) {
            return answer.error();
        }
        return static_cast<int>(answer->status);
    };
}

/// The largest pad side: a 4096 x 4096 pad is a 64 MB bitmap per signer already.
constexpr int kMaxPadSide = 4096;

}  // namespace

Size parsePad(const std::string& text) {
    const auto x = text.find('x');
    int w = 0, h = 0;
    const char* end = text.data() + text.size();
    const bool ok = x != std::string::npos &&
                    std::from_chars(text.data(), text.data() + x, w).ptr == text.data() + x &&
                    std::from_chars(text.data() + x + 1, end, h).ptr == end && w >= 1 && h >= 1 &&
                    w <= kMaxPadSide && h <= kMaxPadSide;
    if (!ok) {
        throw UsageError("--pad " + text + ": expected WxH, each from 1 to " +
                         std::to_string(kMaxPadSide));
    }
    return {static_cast<double>(w), static_cast<double>(h)};
}

// Refuses to start a server that could not save a signature, with the reason `replay`
// gives: a short signature is exported through the same path, so the resources, the pin and
// the store are checked exactly as a signer's Done would check them.
void checkKeyWrap(const ServiceOptions& services, const std::optional<SigningIdentity>& signer,
                  const std::vector<Bytes>& recipients) {
    Trace trace;
    trace.name = "the start-up check";
    trace.padFrame = {{0, 0}, {200, 100}};
    trace.config.smoothing = false;
    TraceEvent event;
    for (int i = 0; i <= 40; ++i) {
        event.type = i == 0 ? EventType::began : EventType::moved;
        event.touches = {Touch{{10.0 + 4 * i, 50.0}, 0.01 * i, 0.0, touch_type::kDirect}};
        trace.events.push_back(event);
    }
    event.type = EventType::ended;
    trace.events.push_back(event);
    ReplaySettings settings;
    settings.services = services;
    Replay replay(trace, settings);
    replay.run([] {});
    // A Done's outputs, the evidence included, so a signing key that does not fit its
    // certificate stops the start.
    BundleSettings done;
    done.signer = signer;
    done.recipients = recipients;
    done.name = trace.name;
    done.resources = services.resources;
    must(exportBundle(replay.controller(), replay.graphics(), done));
}

// --out must take files now, not first at a signer's Done.
void checkWritable(const std::filesystem::path& folder) {
    // Owner-only, like every file the signatures are written to.
    if (const auto made = filesystem::makeOutputFolder(folder); !made) {
        throw ToolError(folder.string() + ": cannot make the folder: " +
                        std::generic_category().message(static_cast<int>(made.error().code)));
    }
    std::error_code ec;
    const std::filesystem::path probe = folder / ".penwell-serve-write-check";
    const bool written = static_cast<bool>(std::ofstream(probe) << "");
    std::filesystem::remove(probe, ec);
    if (!written) {
        throw ToolError(folder.string() + ": cannot write there");
    }
}

int runServe(const ServeOptions& options, std::ostream& out, std::ostream& err) {
    // Usage errors first, before a file is read: they exit 2 whatever else is wrong.
    const Size padSize = parsePad(options.pad);
    if (const auto proxies = web::TrustedProxies::parse(options.trustedProxies); !proxies) {
        throw UsageError("--trusted-proxy " + proxies.error().message);
    }
#ifdef PENWELL_WITH_PDF
    const host::DocumentRequest& place = options.document;
    if (!place.file.empty()) {
        must(pdf::placementOf(place.field, place.page, place.rect), kExitUsage);
    }
#endif
    // Every signature saves the encrypted record, whose key the pinned certificate wraps.
    SealPlan plan = sealFor(options.seal, true, true);
    web::ServerOptions server;
    server.bind = options.bind;
    server.port = static_cast<std::uint16_t>(options.port);
    server.maxSessions = static_cast<std::size_t>(options.maxSessions);
    server.sessionsPerAddress = static_cast<std::size_t>(options.sessionsPerAddress);
    server.lang = options.lang;
    server.idleTimeout = std::chrono::seconds(options.idleSeconds);
    server.publicOrigins = options.publicOrigins;
    server.trustedProxies = options.trustedProxies;
    server.brand = options.brand;
    server.tlsCertificate = options.tlsCertificate;
    server.tlsKey = options.tlsKey;
    server.frameAncestors = options.frameAncestors;
    web::setLogFormat(options.logFormat == "json" ? web::LogFormat::json : web::LogFormat::text);
    server.threads = std::max(2u, std::thread::hardware_concurrency());
    web::PadSettings& pad = server.pad;
    pad.size = padSize;
    pad.smoothing = options.smoothing;
    pad.lineWidth = options.lineWidth;
    pad.operatorControls = options.operatorControls;
    pad.services.resources = options.resources;
    // Without --store each signer's certificate store lives only as long as the signer's
    // session: a server for the public needs no lasting state unless it is given a store.
    pad.services.certificateStore = options.store;
    if (options.out) {
        checkWritable(*options.out);
        pad.out = options.out;
    }
    pad.signer = loadSigningIdentity(options.sign);
    pad.recipients = std::move(plan.recipients);
    pad.demoWarning = plan.warning;
    if (!options.document.file.empty()) {
        host::DocumentRequest request = options.document;
        if (request.tsa) {
            request.http = std::make_shared<curl::CurlHttpClient>();
        }
        auto document = web::SignableDocument::open(request, options.pdfjs, pad.signer);
        const bool usage =
            !document && document.error().domain == web::kDocumentErrorDomain &&
            document.error().code == static_cast<std::int64_t>(web::DocumentError::needsSignKey);
        pad.document = must(std::move(document), usage ? kExitUsage : kExitFailure);
    }
    if (options.document.tsa && options.document.file.empty() && !options.data) {
        throw UsageError("--tsa: needs --document or --data");
    }
    std::unique_ptr<service::WebhookWorker> webhooks;
    std::unique_ptr<service::RetentionWorker> retention;
    if (options.data) {
        if (options.document.tsa) {
            // Each signer's signature B-T, the seal B-LTA: its validation data needs anchors.
            if (options.trust.empty()) {
                throw UsageError("--tsa: with --data needs --trust, where the seal's chains end");
            }
            server.tsa = options.document.tsa;
            server.http = std::make_shared<curl::CurlHttpClient>();
            for (const std::filesystem::path& file : options.trust) {
                server.longTermTrust.push_back(
                    must(filesystem::readFile(file, 1u << 20, "a certificate"), kExitUsage));
            }
        }
        std::shared_ptr<service::SigningStore> store =
            must(service::sqlite::SqliteSigningStore::open(*options.data));
        server.service = std::make_shared<service::SigningService>(store, service::systemClock());
        // Always runs: expiries and day-old Idempotency-Key answers (they hold signing links)
        // go even without --retention; samples and files only with it.
        service::RetentionSettings kept;
        if (options.retentionDays) {
            kept.keepFor = service::TimeMs{*options.retentionDays} * service::kDayMs;
        }
        retention = std::make_unique<service::RetentionWorker>(
            server.service, kept, std::chrono::minutes(10), [](const std::string& line) {
                web::serverLog("retention: " + line);
            });
        server.pdfjs = options.pdfjs;  // the signing links' pages show their documents with it
        if (options.webhookSecretFile) {
            service::WebhookSettings settings;
            settings.defaultUrl = options.webhookUrl;
            settings.secret = webhookSecret(*options.webhookSecretFile);
            webhooks = std::make_unique<service::WebhookWorker>(
                store, service::systemClock(), std::move(settings), webhookPoster(),
                std::chrono::seconds(2), [](const std::string& line) {
                    web::serverLog(line);  // "webhooks: ..." already
                });
        } else {
            err << "penwell serve: no --webhook-secret-file: webhook events wait in the outbox"
                << std::endl;
        }
    }
    checkKeyWrap(pad.services, pad.signer, pad.recipients);
    warnOfDemo(plan, err);

    const std::unique_ptr<web::Server> started = must(web::Server::listen(std::move(server)));
    web::Server& s = *started;
    out << "penwell serve: open " << s.url() << " in a browser (Ctrl-C stops)" << std::endl;
    s.run();
    out << "penwell serve: stopped" << std::endl;
    return 0;
}

}  // namespace penwell::tools
