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

TEST(StagedFileTest, NothingAppearsUntilCommitThenTheTargetIsReplacedWhole) {
    TemporaryFolder folder("penwell-staged");
    const auto target = folder.path() / "out.bin";
    {
        StagedFile file(target);
        file.write(asBytes("half"));
        EXPECT_FALSE(std::filesystem::exists(target));
        EXPECT_EQ(listFolder(folder.path()).size(), 1u);  // the hidden temporary
    }
    EXPECT_TRUE(listFolder(folder.path()).empty());

    testing::writeFile(target, std::string("old contents"));
    {
        StagedFile file(target);
        file.write(asBytes("new"));
        EXPECT_EQ(readText(target), "old contents");
        file.commit();
    }
    EXPECT_EQ(readText(target), "new");
    EXPECT_THAT(listFolder(folder.path()), ElementsAre("out.bin"));
}

// One output that cannot be replaced after others were: those get their old contents back,
// the new ones go again, and nothing else is left behind.
TEST(StagedOutputsTest, AFailedCommitPutsBackWhatItReplaced) {
    TemporaryFolder folder("penwell-staged");
    const auto kept = folder.path() / "keep.txt";
    testing::writeFile(kept, std::string("precious"));
    try {
        StagedOutputs outputs;
        outputs.add(kept).write(asBytes("new"));
        outputs.add(folder.path() / "fresh.txt").write(asBytes("new"));
        StagedFile& lost = outputs.add(folder.path() / "lost.txt");
        std::filesystem::remove(lost.temporary());  // its rename fails after the other two
        outputs.commitAll();
        FAIL() << "expected an error";
    } catch (const ToolError& e) {
        EXPECT_THAT(e.what(), HasSubstr("lost.txt: cannot replace: No such file or directory"));
    }
    EXPECT_EQ(readText(kept), "precious");
    EXPECT_THAT(listFolder(folder.path()), ElementsAre("keep.txt"));
}

TEST(StagedFileTest, ExactModeIsNotWidenedByAPermissiveUmask) {
    TemporaryFolder folder("penwell-staged");
    const auto target = folder.path() / "key.pem";
    const mode_t old = ::umask(0);
    StagedFile file(target, S_IRUSR | S_IWUSR, true);
    ::umask(old);
    file.write(asBytes("secret"));
    file.commit();
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(StagedFileTest, ErrorsNameTheFileAndTemporaryFoldersGoAway) {
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
        EXPECT_THROW(readFile(kept / "missing", 10, "x"), ToolError);
        testing::writeFile(kept / "eleven", std::string("0123456789a"));
        EXPECT_THROW(readFile(kept / "eleven", 10, "x"), ToolError);
        EXPECT_EQ(readFile(kept / "eleven", 11, "x").size(), 11u);
        testing::writeFile(kept / "a", std::string("x"));
    }
    EXPECT_FALSE(std::filesystem::exists(kept));
}

TEST(StagedOutputsTest, EarlierFilesStayUsableWhileMoreAreAdded) {
    TemporaryFolder folder("penwell-staged");
    StagedOutputs outputs;
    StagedFile& first = outputs.add(folder.path() / "first");
    for (int i = 0; i < 40; ++i) {
        outputs.add(folder.path() / ("more" + std::to_string(i)));
    }
    first.write(asBytes("still here"));  // a dangling reference would write nowhere or crash
    outputs.commitAll();
    EXPECT_EQ(readText(folder.path() / "first"), "still here");
    EXPECT_EQ(listFolder(folder.path()).size(), 41u);
}

}  // namespace
}  // namespace penwell::tools
