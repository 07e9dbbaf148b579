#include "penwell/platform/filesystem/StagedFile.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/CertificateFixtures.h"

namespace penwell::filesystem {
namespace {

using test::listFolder;
using test::readText;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

class StagedFileTest : public ::testing::Test {
protected:
    std::filesystem::path path(const std::string& name) const { return folder_.path() / name; }
    test::TempDir folder_;
};

// The key file's mode is exact: a permissive umask does not widen it.
TEST_F(StagedFileTest, NothingAppearsUntilCommitThenTheTargetIsReplacedWholeInItsMode) {
    {
        StagedFile file = StagedFile::create(path("out.bin")).value();
        EXPECT_FALSE(file.write(asBytes("half")));
        EXPECT_FALSE(std::filesystem::exists(path("out.bin")));
        EXPECT_EQ(listFolder(folder_.path()).size(), 1u);  // the hidden temporary
    }
    EXPECT_TRUE(listFolder(folder_.path()).empty());

    test::writeFile(path("out.bin"), std::string("old contents"));
    const mode_t old = ::umask(0);
    StagedFile file = StagedFile::create(path("out.bin"), S_IRUSR | S_IWUSR, true).value();
    ::umask(old);
    EXPECT_FALSE(file.write(asBytes("new")));
    EXPECT_EQ(readText(path("out.bin")), "old contents");
    EXPECT_FALSE(file.commit());
    EXPECT_EQ(readText(path("out.bin")), "new");
    EXPECT_THAT(listFolder(folder_.path()), ElementsAre("out.bin"));
    struct stat st {};
    ASSERT_EQ(::stat(path("out.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// One output that cannot be replaced after others were: those get their old contents back,
// the new ones go again, and nothing else is left behind. Earlier files stay usable while more
// are added (a dangling pointer would write nowhere or crash).
TEST_F(StagedFileTest, AFailedCommitPutsBackWhatItReplaced) {
    test::writeFile(path("keep.txt"), std::string("precious"));
    test::writeFile(path("lost.txt"), std::string("old"));
    {
        StagedOutputs outputs;
        StagedFile& keep = *outputs.add(path("keep.txt")).value();
        EXPECT_FALSE(outputs.stage(path("fresh.txt"), asBytes("new")));
        StagedFile& lost = *outputs.add(path("lost.txt")).value();
        for (int i = 0; i < 40; ++i) {
            ASSERT_TRUE(outputs.add(path("more" + std::to_string(i))));
        }
        EXPECT_FALSE(keep.write(asBytes("new")));
        // A folder in place of its staged file: it syncs, but cannot take the place of a
        // file, so its rename fails after the other two.
        std::filesystem::remove(lost.temporary());
        std::filesystem::create_directory(lost.temporary());
        const MaybeFailure failed = outputs.commitAll();
        ASSERT_TRUE(failed);
        EXPECT_THAT(failed->message, HasSubstr("lost.txt: cannot replace: Not a directory"));
        EXPECT_EQ(failed->domain, kFileDomain);
    }
    EXPECT_EQ(readText(path("keep.txt")), "precious");
    EXPECT_EQ(readText(path("lost.txt")), "old");
    EXPECT_THAT(listFolder(folder_.path()), ElementsAre("keep.txt", "lost.txt"));
}

// Contents are made durable before the first rename, so a staged file that cannot be synced
// stops the commit while every target is still as it was.
TEST_F(StagedFileTest, AStagedFileThatCannotBeSyncedReplacesNothing) {
    test::writeFile(path("keep.txt"), std::string("precious"));
    {
        StagedOutputs outputs;
        EXPECT_FALSE(outputs.stage(path("keep.txt"), asBytes("new")));
        StagedFile& lost = *outputs.add(path("lost.txt")).value();
        std::filesystem::remove(lost.temporary());
        const MaybeFailure failed = outputs.commitAll();
        ASSERT_TRUE(failed);
        EXPECT_THAT(failed->message, HasSubstr("lost.txt: cannot write: No such file"));
    }
    EXPECT_EQ(readText(path("keep.txt")), "precious");
    EXPECT_THAT(listFolder(folder_.path()), ElementsAre("keep.txt"));
}

// Non-regular inputs and the size limit are checked end to end by CliTest.
TEST_F(StagedFileTest, FailuresNameTheFile) {
    const auto target = folder_.path() / "no" / "such" / "out.png";
    const Result<StagedFile> file = StagedFile::create(target);
    ASSERT_FALSE(file);
    EXPECT_THAT(file.error().message, HasSubstr(target.string() + ": cannot create: "));
    test::writeFile(path("eleven"), std::string("0123456789a"));
    EXPECT_THAT(readFile(path("eleven"), 10, "x").error().message, HasSubstr("eleven: too large"));
    EXPECT_EQ(readFile(path("eleven"), 11, "x")->size(), 11u);
}

}  // namespace
}  // namespace penwell::filesystem
