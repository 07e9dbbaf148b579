#include "platform/filesystem/DirectoryBundle.h"

#include <gtest/gtest.h>

#include "support/CertificateFixtures.h"

namespace penwell::filesystem {
namespace {

TEST(DirectoryBundleTest, FindsAndReadsAResourceByNameAndType) {
    test::TempDir folder;
    const Bytes contents{0x30, 0x00, 0xff, 0x00, 0x7f};
    test::writeFile(folder.path() / "Penwell.dat", contents);
    const DirectoryBundle bundle(folder.path());

    const auto path = bundle.pathForResource("Penwell", "dat");
    ASSERT_TRUE(path.has_value());
    EXPECT_EQ(*path, folder.path() / "Penwell.dat");
    EXPECT_EQ(bundle.contentsOfFile(*path), contents);
}

TEST(DirectoryBundleTest, MissingResourcesAreNotFound) {
    test::TempDir folder;
    std::filesystem::create_directory(folder.path() / "Penwell.dat");
    test::writeFile(folder.path() / "penwell.dat", Bytes{1});
    const DirectoryBundle bundle(folder.path());

    EXPECT_FALSE(bundle.pathForResource("Penwell", "dat").has_value()) << "a folder is no file";
    EXPECT_FALSE(bundle.pathForResource("Other", "dat").has_value());
    EXPECT_FALSE(bundle.contentsOfFile(folder.path() / "absent").has_value());
}

TEST(DirectoryBundleTest, NamesCannotLeaveTheFolder) {
    test::TempDir outer;
    std::filesystem::create_directory(outer.path() / "bundle");
    test::writeFile(outer.path() / "secret.dat", Bytes{1});
    const DirectoryBundle bundle(outer.path() / "bundle");

    EXPECT_FALSE(bundle.pathForResource("../secret", "dat").has_value());
    EXPECT_FALSE(bundle.pathForResource(".", "").has_value());
    EXPECT_FALSE(bundle.pathForResource("..", "").has_value());
    EXPECT_FALSE(bundle.pathForResource("", "dat").has_value());
}

TEST(DirectoryBundleTest, DefaultFolderFollowsTheEnvironment) {
    {
        test::ScopedEnv env("PENWELL_RESOURCES", "/opt/somewhere/penwell");
        EXPECT_EQ(DirectoryBundle::defaultFolder(), "/opt/somewhere/penwell");
    }
    {
        test::ScopedEnv env("PENWELL_RESOURCES", nullptr);
        const auto folder = DirectoryBundle::defaultFolder();
        EXPECT_EQ(folder.filename(), "penwell");
        EXPECT_TRUE(folder.is_absolute());
    }
}

}  // namespace
}  // namespace penwell::filesystem
