// A deployment's logo and colours (serve --brand): what a folder may hold, each refusal one
// line naming its file, and what the server then serves, from memory, at one path.

#include <gtest/gtest.h>

#include <filesystem>

#include "penwell/host/web/Brand.h"
#include "penwell/host/web/tests/ServerFixture.h"
#include "support/CertificateFixtures.h"

namespace penwell::web {
namespace {

namespace fs = std::filesystem;
using namespace servertest;

const std::string kSvg =
    "<?xml version=\"1.0\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" "
    "width=\"40\" height=\"20\"><rect width=\"40\" height=\"20\"/></svg>\n";
const std::string kPng = std::string("\x89PNG\r\n\x1a\n", 8) + std::string(40, '\0');

TEST(Brand, AFolderIsRefusedNamingTheFileAtFault) {
    const struct {
        std::vector<std::pair<std::string, std::string>> files;
        std::string refusal;  // after "<folder>/"; "": taken
    } cases[] = {
        {{{"logo.svg", kSvg},
          {"brand.json", R"({"colors": {"accent": "#0a5", "text": "#222222"}})"}},
         ""},
        {{{"logo.png", kPng}}, ""},
        {{{"brand.json", R"({"colors": {}})"}}, ""},
        {{}, ": holds no logo.svg, logo.png or brand.json"},
        {{{"logo.svg", kSvg}, {"logo.png", kPng}}, ": holds both logo.svg and logo.png; keep one"},
        {{{"logo.png", kSvg}}, "/logo.png: not the image its name says (image/png)"},
        {{{"logo.svg", "<html><script>alert(1)</script></html>"}},
         "/logo.svg: not the image its name says (image/svg+xml)"},
        {{{"logo.png", kPng + std::string(kMaxLogoBytes, 'x')}}, "/logo.png: "},
        {{{"brand.json", "{"}}, "/brand.json: expected a JSON object"},
        {{{"brand.json", R"({"colors": {"accent": "#0a5"}, "font": "Comic"})"}},
         "/brand.json: font: unknown field; only \"colors\" is taken"},
        {{{"brand.json", R"({"colors": {"link": "#00f"}})"}},
         "/brand.json: colors.link: unknown colour; accent, background and text are taken"},
        {{{"brand.json", R"({"colors": {"accent": "red"}})"}},
         "/brand.json: colors.accent: expected #rgb or #rrggbb"},
        {{{"brand.json", R"j({"colors": {"background": "#fff;}body{x:url(//evil)"}})j"}},
         "/brand.json: colors.background: expected #rgb or #rrggbb"},
    };
    for (const auto& c : cases) {
        test::TempDir dir;
        for (const auto& [name, bytes] : c.files) {
            test::writeFile(dir.path() / name, bytes);
        }
        const Result<Brand> brand = loadBrand(dir.path());
        if (c.refusal.empty()) {
            EXPECT_TRUE(brand) << brand.error().message;
            continue;
        }
        ASSERT_FALSE(brand) << c.refusal;
        const std::string expected = dir.path().string() + c.refusal;
        EXPECT_EQ(brand.error().message.substr(0, expected.size()), expected);
        EXPECT_EQ(brand.error().message.find('\n'), std::string::npos);
    }
    EXPECT_EQ(loadBrand("/nonexistent/brand").error().message, "/nonexistent/brand: not a folder");
}

TEST(Brand, TheServerServesTheLogoAsAnImageThatRunsNothing) {
    test::TempDir dir;
    test::writeFile(dir.path() / "logo.svg", kSvg);
    test::writeFile(dir.path() / "brand.json", R"({"colors": {"accent": "#0a5", "text": "#222"}})");
    ServerOptions options;
    options.brand = dir.path();
    Running server(options);
    const auto logo = askHttp(server.port(), request(server.port(), "GET", kBrandLogoPath));
    ASSERT_TRUE(logo);
    EXPECT_EQ(logo->result_int(), 200);
    EXPECT_EQ(logo->body(), kSvg);
    EXPECT_EQ((*logo)[http::field::content_type], "image/svg+xml");
    // An SVG opened by itself runs no script and is not taken for anything else.
    EXPECT_EQ((*logo)["X-Content-Type-Options"], "nosniff");
    EXPECT_NE((*logo)["Content-Security-Policy"].find("default-src 'self'"),
              beast::string_view::npos);
    EXPECT_NE((*logo)["Content-Security-Policy"].find("img-src 'self' blob: data:;"),
              beast::string_view::npos);
    // The page's colours and logo from it: what the browser tests see (links.test.mjs).

    // Without a brand there is nothing at that path.
    Running plain(ServerOptions{});
    const auto none = askHttp(plain.port(), request(plain.port(), "GET", kBrandLogoPath));
    ASSERT_TRUE(none);
    EXPECT_EQ(none->result_int(), 404);
}

}  // namespace
}  // namespace penwell::web
