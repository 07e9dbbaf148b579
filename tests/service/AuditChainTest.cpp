#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "TrailFixture.h"
#include "penwell/service/AuditChain.h"
#include "penwell/service/Writes.h"
#include "support/Shell.h"

namespace penwell::service {
namespace {

AuditEvent sample() {
    AuditEvent event;
    event.sequence = 2;
    event.time = 1'700'000'000'123;
    event.type = "document.shown";
    event.signer = 1;
    event.detail = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";
    event.actor = {"192.0.2.7", "Mozilla/5.0 (X11; Linux)"};
    event.previousHash = Bytes(32, 0xab);
    return event;
}

TEST(AuditChain, CanonicalBytesAreLengthPrefixedFields) {
    EXPECT_EQ(canonicalBytes("req_1", sample()),
              "penwell-audit-1\n"
              "5:req_1\n"
              "1:2\n"
              "13:1700000000123\n"
              "14:document.shown\n"
              "1:1\n"
              "64:9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08\n"
              "9:192.0.2.7\n"
              "24:Mozilla/5.0 (X11; Linux)\n"
              "64:abababababababababababababababababababababababababababababababab\n");
}

TEST(AuditChain, HashIsSha256OfTheCanonicalBytesAsOpensslComputesIt) {
    const std::string bytes = canonicalBytes("req_1", sample());
    const auto file = std::filesystem::temp_directory_path() /
                      ("penwell-audit-" + std::to_string(::getpid()) + ".bin");
    std::ofstream(file, std::ios::binary) << bytes;
    const std::string expected =
        test::run("openssl dgst -sha256 -r " + file.string() + " | cut -d' ' -f1");
    std::filesystem::remove(file);
    EXPECT_EQ(hexDigits(eventHash("req_1", sample())), expected);
}

TEST(AuditChain, FieldsCannotBorrowBytesFromTheirNeighbours) {
    // Without lengths, "a\n1:b" in the user agent could pass for an address "a" and more.
    AuditEvent one = sample();
    one.actor = {"a", "b"};
    AuditEvent two = sample();
    two.actor = {"a\n1:b", ""};
    EXPECT_NE(canonicalBytes("r", one), canonicalBytes("r", two));
    EXPECT_NE(eventHash("r", one), eventHash("r", two));
    // The request id is part of the bytes: a trail cannot be moved to another request.
    EXPECT_NE(eventHash("req_1", sample()), eventHash("req_2", sample()));
}

std::vector<AuditEvent> trail() {
    return testing::sampleTrail();
}

// Tamperings a trail file can carry are named through the file too, where the intact trail
// checks out (AuditTrailFileTest); these are the ones only a store's events can hold.
TEST(AuditChain, TheFirstBrokenLinkIsNamed) {
    struct Case {
        const char* name;
        std::function<void(std::vector<AuditEvent>&)> tamper;
        std::size_t index;
        std::string message;
    };
    const Case cases[] = {
        {"a changed address", [](auto& e) { e[3].actor.address = "198.51.100.1"; }, 3,
         "event 4 (signer.signed): its hash does not match its contents"},
        {"a changed event with its own hash recomputed",
         [](auto& e) {
             e[2].detail = "0100";
             e[2].hash = eventHash("req_1", e[2]);
         },
         3, "event 4 (signer.signed): does not chain to the event before it"},
        {"a truncated stored hash", [](auto& e) { e[4].hash.pop_back(); }, 4,
         "event 5 (request.completed): its hash does not match its contents"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto events = trail();
        c.tamper(events);
        const auto broken = verifyChain("req_1", events);
        ASSERT_TRUE(broken);
        EXPECT_EQ(broken->index, c.index);
        EXPECT_EQ(broken->message, c.message);
    }
    // The trail of another request does not verify as this one's.
    EXPECT_TRUE(verifyChain("req_2", trail()));
}

}  // namespace
}  // namespace penwell::service
