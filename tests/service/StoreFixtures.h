#pragma once
// What the store and service tests share: a store in a fresh folder, stand-in documents and
// requests, and a clock the test moves by hand.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "penwell/platform/openssl/Digests.h"
#include "penwell/service/Secrets.h"
#include "penwell/service/SigningStore.h"
#include "penwell/service/sqlite/SqliteSigningStore.h"
#include "support/CertificateFixtures.h"

namespace penwell::service::testing {

using sqlite::SqliteSigningStore;

inline std::unique_ptr<SqliteSigningStore> openStore(const std::filesystem::path& folder) {
    auto store = SqliteSigningStore::open(folder);
    if (!store) {
        ADD_FAILURE() << store.error().message;
        return nullptr;
    }
    return std::move(*store);
}

/// Bytes that stand in for a PDF: the store never parses them. `seed` makes them distinct.
inline Bytes pdfBytes(std::size_t size, std::uint8_t seed = 0) {
    Bytes bytes(size);
    const std::string head = "%PDF-1.7\n";
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = i < head.size() ? static_cast<std::uint8_t>(head[i])
                                   : static_cast<std::uint8_t>((i * 31 + seed) & 0xff);
    }
    return bytes;
}

inline Document documentFor(const std::string& id, ByteView pdf, TimeMs at = 1'000) {
    return {id, hexDigits(openssl::sha256(pdf)), static_cast<std::int64_t>(pdf.size()), 3, at};
}

/// A request of `signers` signers (Ann, Bob, Carol, ...) on `documentId`; tokens are "t1",
/// "t2", ... hashed.
inline NewRequest newRequest(const std::string& id, const std::string& documentId, int signers = 2,
                             TimeMs created = 1'000, TimeMs expires = 1'000'000) {
    static const char* const kNames[] = {"Ann Example", "Bob Example", "Carol Example",
                                         "Dan Example"};
    NewRequest request{id,
                       documentId,
                       created,
                       expires,
                       "https://hooks.example/p",
                       "{}",
                       {},
                       {"192.0.2.1", "curl/8.0"}};
    for (int i = 0; i < signers; ++i) {
        NewSigner signer;
        signer.spec.name = kNames[i % 4];
        signer.spec.email = "s" + std::to_string(i + 1) + "@example.org";
        signer.spec.placement = R"({"field":"Signature)" + std::to_string(i + 1) + R"("})";
        signer.spec.reason = "Contract";
        signer.spec.location = "Berlin";
        signer.tokenHash = secretHash(id + "/t" + std::to_string(i + 1));
        request.signers.push_back(signer);
    }
    return request;
}

/// A clock a test sets and moves.
struct ManualClock {
    std::shared_ptr<TimeMs> now = std::make_shared<TimeMs>(1'000'000);
    Clock clock() const {
        return [now = now] { return *now; };
    }
    void advance(TimeMs ms) const { *now += ms; }
};

}  // namespace penwell::service::testing
