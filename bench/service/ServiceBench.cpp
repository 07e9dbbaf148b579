// The signing service's document work against its floors, in one run (interleaved with
// --benchmark_enable_random_interleaving=true), on the store `serve --data` uses, in a scratch
// folder on the machine's disk:
//
// - Creating a request for a document, as the API does it (POST /documents: the document
//   checked as signing checks it, then kept; POST /requests: a request of one signer on a page
//   and rectangle), against the floor of keeping its bytes and knowing their SHA-256: one
//   INSERT of the bytes as a BLOB in a WAL database with full synchronous commits, or the bytes
//   written to a file, fsynced and renamed into a folder that is fsynced (what the store does
//   with a document), each with SHA-256 of the bytes. Goal: at most 1.5x the floor.
// - Completing a request: the seal after the last signer (the trail attached and sealed by an
//   invisible operator signature, stored as the last revision) against one `pdf sign` of the
//   same signed document: the library call alone, and as the command runs it (the identity
//   parsed, the file read, the result written durably). Goal: at most 1.5x.
//
// Documents: one page of text, and 200 heavy pages (about 10 MB), as bench/PdfSignBench.cpp.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <stdexcept>

#include "penwell/bench/BenchPdf.h"
#include "penwell/bench/ScratchFolder.h"
#include "penwell/host/common/AuditTrailSeal.h"
#include "penwell/pdf/Inspection.h"
#include "penwell/pdf/PdfSignature.h"
#include "penwell/platform/CHandle.h"
#include "penwell/platform/filesystem/StagedFile.h"
#include "penwell/platform/openssl/Digests.h"
#include "penwell/service/SigningService.h"
#include "penwell/service/sqlite/SqliteSigningStore.h"

using namespace penwell;
using penwell::bench::document;

namespace {

const service::Actor kActor{"127.0.0.1", "penwell_service_bench"};

Bytes readAll(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

/// Everything the benchmarks share: the scratch folder, the service on its store, the
/// operator identity both as the seal and as `pdf sign` take it.
struct Bench {
    Bench() {
        auto opened = service::sqlite::SqliteSigningStore::open(folder.path() / "data");
        if (!opened) {
            throw std::runtime_error(opened.error().message);
        }
        store = std::move(*opened);
        signing = std::make_shared<service::SigningService>(store, service::systemClock());
        operatorIdentity.privateKey = readAll(PENWELL_DEMO_CERTIFICATE_DIR "/demo-private-key.pem");
        operatorIdentity.certificate = readAll(PENWELL_DEMO_CERTIFICATE_DIR "/Penwell.dat");
        pdfIdentity = std::make_unique<pdf::SigningIdentity>(
            pdf::SigningIdentity::fromPem(operatorIdentity.privateKey, "key",
                                          operatorIdentity.certificate, "certificate")
                .value());
    }

    penwell::bench::ScratchFolder folder;
    std::shared_ptr<service::SigningStore> store;
    std::shared_ptr<service::SigningService> signing;
    SigningIdentity operatorIdentity;
    std::unique_ptr<pdf::SigningIdentity> pdfIdentity;
};

Bench& shared() {
    static Bench bench;
    return bench;
}

service::RequestSpec oneSigner(const std::string& documentId, const service::SigningService& s) {
    service::RequestSpec spec;
    spec.documentId = documentId;
    spec.expiresAt = s.now() + 3'600'000;
    service::SignerSpec signer;
    signer.name = "Ann Example";
    signer.reason = "Contract 42";
    signer.placement = R"({"page": 1, "rect": [300, 100, 200, 80]})";
    spec.signers.push_back(signer);
    return spec;
}

/// The document as its signer signed it: one signature with ink in the signer's place.
const Bytes& signedDocument(int pages) {
    static std::map<int, Bytes> made;
    Bytes& bytes = made[pages];
    if (bytes.empty()) {
        pdf::SignRequest request;
        request.placement = pdf::PagePlacement{1, 300, 100, 200, 80};
        request.inkPdf = penwell::bench::inkPdf();
        bytes = pdf::signPdf(document(pages), "bench.pdf", request, *shared().pdfIdentity).value();
    }
    return bytes;
}

/// Removes a kept document's file, so that a long run does not fill the disk with copies.
void forget(const std::filesystem::path& file) {
    std::error_code ignored;
    std::filesystem::remove(file, ignored);
}

void createRequest(benchmark::State& state, int pages) {
    Bench& b = shared();
    const Bytes& pdf = document(pages);
    for (auto _ : state) {
        auto inspected = pdf::inspectForSigning(pdf, "document.pdf");
        auto kept = b.signing->addDocument(pdf, inspected ? inspected->pages : 0);
        if (!inspected || !kept) {
            state.SkipWithError((!inspected ? inspected.error() : kept.error()).message.c_str());
            break;
        }
        auto created = b.signing->createRequest(oneSigner(kept->id, *b.signing), kActor);
        if (!created) {
            state.SkipWithError(created.error().message.c_str());
            break;
        }
        state.PauseTiming();
        forget(b.folder.path() / "data" / "documents" / (kept->id + ".pdf"));
        state.ResumeTiming();
    }
    state.counters["MB"] = static_cast<double>(pdf.size()) / 1e6;
}

void checkSqlite(sqlite3* db, int rc, benchmark::State& state) {
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
        state.SkipWithError(sqlite3_errmsg(db));
    }
}

/// The floor in the database: SHA-256 of the bytes and one INSERT of them as a BLOB, in a WAL
/// database with full synchronous commits, as the store's own.
void floorBlob(benchmark::State& state, int pages) {
    Bench& b = shared();
    const Bytes& pdf = document(pages);
    sqlite3* raw = nullptr;
    const std::string file = (b.folder.path() / "floor.sqlite").string();
    const int opened = sqlite3_open(file.c_str(), &raw);
    CHandle<sqlite3, sqlite3_close> db(raw);
    if (opened != SQLITE_OK) {
        state.SkipWithError((file + ": cannot be opened").c_str());
        return;
    }
    checkSqlite(db.get(),
                sqlite3_exec(db.get(),
                             "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;"
                             "CREATE TABLE IF NOT EXISTS files (id INTEGER PRIMARY KEY, "
                             "sha256 TEXT NOT NULL, bytes BLOB NOT NULL)",
                             nullptr, nullptr, nullptr),
                state);
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db.get(), "INSERT INTO files (sha256, bytes) VALUES (?, ?)", -1,
                       &statement, nullptr);
    CHandle<sqlite3_stmt, sqlite3_finalize> insert(statement);
    if (!insert) {
        state.SkipWithError(sqlite3_errmsg(db.get()));
        return;
    }
    for (auto _ : state) {
        const std::string sha256 = hexDigits(openssl::sha256(pdf));
        checkSqlite(db.get(), sqlite3_exec(db.get(), "BEGIN IMMEDIATE", nullptr, nullptr, nullptr),
                    state);
        sqlite3_bind_text(insert.get(), 1, sha256.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_blob64(insert.get(), 2, pdf.data(), pdf.size(), SQLITE_STATIC);
        checkSqlite(db.get(), sqlite3_step(insert.get()), state);
        sqlite3_reset(insert.get());
        checkSqlite(db.get(), sqlite3_exec(db.get(), "COMMIT", nullptr, nullptr, nullptr), state);
        state.PauseTiming();
        sqlite3_exec(db.get(), "DELETE FROM files", nullptr, nullptr, nullptr);
        state.ResumeTiming();
    }
    state.counters["MB"] = static_cast<double>(pdf.size()) / 1e6;
}

void syncPath(const std::filesystem::path& path, int flags) {
    const int fd = ::open(path.c_str(), flags);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

/// The floor as a file: SHA-256 of the bytes, the bytes written to a new file, fsynced and
/// renamed into a folder that is then fsynced, which is how the store keeps a document.
void floorFile(benchmark::State& state, int pages) {
    Bench& b = shared();
    const Bytes& pdf = document(pages);
    const std::filesystem::path folder = b.folder.path() / "floor-files";
    std::filesystem::create_directories(folder);
    const std::filesystem::path staged = folder / "staged", kept = folder / "kept.pdf";
    for (auto _ : state) {
        benchmark::DoNotOptimize(hexDigits(openssl::sha256(pdf)));
        const int fd = ::open(staged.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        std::size_t done = 0;
        while (fd >= 0 && done < pdf.size()) {
            const ssize_t n = ::write(fd, pdf.data() + done, pdf.size() - done);
            if (n <= 0) {
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        if (fd < 0 || done != pdf.size() || ::fsync(fd) != 0) {
            state.SkipWithError("the floor's file could not be written");
        }
        if (fd >= 0) {
            ::close(fd);
        }
        std::filesystem::rename(staged, kept);
        syncPath(folder, O_RDONLY | O_DIRECTORY);
        state.PauseTiming();
        forget(kept);
        state.ResumeTiming();
    }
    state.counters["MB"] = static_cast<double>(pdf.size()) / 1e6;
}

/// A request whose one signer has signed `signedPdf`: completed, waiting for its seal.
std::string completedRequest(const std::string& documentId, const Bytes& signedPdf) {
    Bench& b = shared();
    auto created = b.signing->createRequest(oneSigner(documentId, *b.signing), kActor).value();
    const std::string& token = created.linkTokens.front();
    b.signing->openLink(token, kActor).value();
    b.signing->showDocument(token, kActor).value();
    b.signing->sign(token, signedPdf, kActor, 0).value();
    return created.request.id;
}

service::SigningService::Sealer sealer(const std::string& requestId) {
    // The identity read once, as the server's LinkDocuments reads it when it starts.
    return [requestId](ByteView latest, const std::vector<service::AuditEvent>& trail) {
        return host::sealAuditTrail(latest, "request " + requestId, requestId, trail,
                                    *shared().pdfIdentity);
    };
}

/// The seal as the service runs it after the last signature: the latest revision read back
/// and checked, the trail read, sealAuditTrail, the sealed document stored as the last
/// revision with its event. Each iteration's completed request is made beforehand, untimed.
void seal(benchmark::State& state, int pages) {
    Bench& b = shared();
    const Bytes& signedPdf = signedDocument(pages);
    const std::string documentId =
        b.signing->addDocument(document(pages), pages > 1 ? pages : 1).value().id;
    for (auto _ : state) {
        state.PauseTiming();
        const std::string requestId = completedRequest(documentId, signedPdf);
        state.ResumeTiming();
        auto sealed = b.signing->seal(requestId, sealer(requestId), kActor);
        if (!sealed) {
            state.SkipWithError(sealed.error().message.c_str());
            break;
        }
        state.PauseTiming();
        std::error_code ignored;
        std::filesystem::remove_all(b.folder.path() / "data" / "revisions" / requestId, ignored);
        state.ResumeTiming();
    }
    state.counters["MB"] = static_cast<double>(signedPdf.size()) / 1e6;
}

/// The seal's PDF work alone (no store): what of the seal is the document's.
void sealTrailOnly(benchmark::State& state, int pages) {
    Bench& b = shared();
    const Bytes& signedPdf = signedDocument(pages);
    const std::string documentId =
        b.signing->addDocument(document(pages), pages > 1 ? pages : 1).value().id;
    const std::string requestId = completedRequest(documentId, signedPdf);
    const std::vector<service::AuditEvent> trail = b.store->auditTrail(requestId).value();
    for (auto _ : state) {
        auto sealed = sealer(requestId)(signedPdf, trail);
        if (!sealed) {
            state.SkipWithError(sealed.error().message.c_str());
            break;
        }
        benchmark::DoNotOptimize(sealed->data());
    }
    state.counters["MB"] = static_cast<double>(signedPdf.size()) / 1e6;
}

/// One `pdf sign` of the same signed document: a second signature, in a new field.
void pdfSign(benchmark::State& state, int pages) {
    const Bytes& signedPdf = signedDocument(pages);
    pdf::SignRequest request;
    request.placement = pdf::PagePlacement{1, 300, 300, 200, 80};
    request.inkPdf = penwell::bench::inkPdf();
    for (auto _ : state) {
        Result<Bytes> out = pdf::signPdf(signedPdf, "signed.pdf", request, *shared().pdfIdentity);
        if (!out) {
            state.SkipWithError(out.error().message.c_str());
            break;
        }
        benchmark::DoNotOptimize(out->data());
    }
    state.counters["MB"] = static_cast<double>(signedPdf.size()) / 1e6;
}

/// One `pdf sign` as the command runs it, but for the evidence it makes from a trace or a
/// record: the operator identity parsed, the document read from its file and its SHA-256
/// taken, signPdf, and the signed document written and fsynced into place.
void pdfSignCommand(benchmark::State& state, int pages) {
    Bench& b = shared();
    const std::filesystem::path in = b.folder.path() / "to-sign.pdf",
                                out = b.folder.path() / "signed.pdf";
    {
        filesystem::StagedOutputs outputs;
        if (outputs.stage(in, signedDocument(pages)) || outputs.commitAll()) {
            state.SkipWithError("the document to sign could not be written");
            return;
        }
    }
    pdf::SignRequest request;
    request.placement = pdf::PagePlacement{1, 300, 300, 200, 80};
    request.inkPdf = penwell::bench::inkPdf();
    for (auto _ : state) {
        auto identity = pdf::SigningIdentity::fromOperator(b.operatorIdentity, "key", "certificate");
        auto bytes = filesystem::readFile(in, pdf::kMaxDocumentBytes, "a PDF");
        if (!identity || !bytes) {
            state.SkipWithError("the identity or the document could not be read");
            break;
        }
        benchmark::DoNotOptimize(openssl::sha256(*bytes));
        Result<Bytes> signedPdf = pdf::signPdf(*bytes, in.string(), request, *identity);
        filesystem::StagedOutputs outputs;
        if (!signedPdf || outputs.stage(out, *signedPdf) || outputs.commitAll()) {
            state.SkipWithError("the document could not be signed and written");
            break;
        }
        // Each run writes a new file, as the seal does: replacing one costs the file system
        // more.
        state.PauseTiming();
        forget(out);
        state.ResumeTiming();
    }
    state.counters["MB"] = static_cast<double>(signedDocument(pages).size()) / 1e6;
}

}  // namespace

BENCHMARK_CAPTURE(createRequest, 1_page, 1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(floorBlob, 1_page, 1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(floorFile, 1_page, 1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(createRequest, 200_pages, 200)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(floorBlob, 200_pages, 200)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(floorFile, 200_pages, 200)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(seal, 1_page, 1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(sealTrailOnly, 1_page, 1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(pdfSign, 1_page, 1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(pdfSignCommand, 1_page, 1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(seal, 200_pages, 200)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(sealTrailOnly, 200_pages, 200)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(pdfSign, 200_pages, 200)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(pdfSignCommand, 200_pages, 200)->Unit(benchmark::kMillisecond);
