#include "tools/StagedFile.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "Support.h"
#include "tools/ToolError.h"

namespace penwell::tools {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::listFolder;
using testing::readText;

class StagedFileTest : public ::testing::Test {
protected:
    std::filesystem::path path(const std::string& name) const { return folder_.path() / name; }
    TemporaryFolder folder_{"penwell-staged"};
};

// The key file's mode is exact: a permissive umask does not widen it.
TEST_F(StagedFileTest, NothingAppearsUntilCommitThenTheTargetIsReplacedWholeInItsMode) {
    {
        StagedFile file(path("out.bin"));
        file.write(asBytes("half"));
        EXPECT_FALSE(std::filesystem::exists(path("out.bin")));
        EXPECT_EQ(listFolder(folder_.path()).size(), 1u);  // the hidden temporary
    }
    EXPECT_TRUE(listFolder(folder_.path()).empty());

    testing::writeFile(path("out.bin"), std::string("old contents"));
    const mode_t old = ::umask(0);
    StagedFile file(path("out.bin"), S_IRUSR | S_IWUSR, true);
    ::umask(old);
    file.write(asBytes("new"));
    EXPECT_EQ(readText(path("out.bin")), "old contents");
    file.commit();
    EXPECT_EQ(readText(path("out.bin")), "new");
    EXPECT_THAT(listFolder(folder_.path()), ElementsAre("out.bin"));
    struct stat st {};
    ASSERT_EQ(::stat(path("out.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// One output that cannot be replaced after others were: those get their old contents back,
// the new ones go again, and nothing else is left behind.
TEST_F(StagedFileTest, AFailedCommitPutsBackWhatItReplaced) {
    testing::writeFile(path("keep.txt"), std::string("precious"));
    try {
        StagedOutputs outputs;
        outputs.add(path("keep.txt")).write(asBytes("new"));
        outputs.add(path("fresh.txt")).write(asBytes("new"));
        StagedFile& lost = outputs.add(path("lost.txt"));
        std::filesystem::remove(lost.temporary());  // its rename fails after the other two
        outputs.commitAll();
        FAIL() << "expected an error";
    } catch (const ToolError& e) {
        EXPECT_THAT(e.what(), HasSubstr("lost.txt: cannot replace: No such file or directory"));
    }
    EXPECT_EQ(readText(path("keep.txt")), "precious");
    EXPECT_THAT(listFolder(folder_.path()), ElementsAre("keep.txt"));
}

// Non-regular inputs and the size limit are checked end to end by CliTest.
TEST(StagedFileErrors, NameTheFileAndTemporaryFoldersGoAway) {
    std::filesystem::path kept;
    {
        TemporaryFolder folder("penwell-staged");
        kept = folder.path();
        const auto target = kept / "no" / "such" / "out.png";
        try {
            StagedFile file(target);
            FAIL() << "expected an error";
        } catch (const ToolError& e) {
            EXPECT_THAT(e.what(), HasSubstr(target.string() + ": cannot create: "));
        }
        testing::writeFile(kept / "eleven", std::string("0123456789a"));
        EXPECT_THROW(readFile(kept / "eleven", 10, "x"), ToolError);
        EXPECT_EQ(readFile(kept / "eleven", 11, "x").size(), 11u);
    }
    EXPECT_FALSE(std::filesystem::exists(kept));
}

TEST_F(StagedFileTest, EarlierFilesStayUsableWhileMoreAreAdded) {
    StagedOutputs outputs;
    StagedFile& first = outputs.add(path("first"));
    for (int i = 0; i < 40; ++i) {
        outputs.add(path("more" + std::to_string(i)));
    }
    first.write(asBytes("still here"));  // a dangling reference would write nowhere or crash
    outputs.commitAll();
    EXPECT_EQ(readText(path("first")), "still here");
    EXPECT_EQ(listFolder(folder_.path()).size(), 41u);
}

}  // namespace
}  // namespace penwell::tools
