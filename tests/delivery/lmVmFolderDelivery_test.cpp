// Folder targets: destination names, the side file, folder completion, replacing an earlier
// delivery only with a whole file, and every failure with its last error and log line.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <memory>
#include <string>

#include "foundation/kxLogFile.h"
#include "ingest/IngestTestFolder.h"
#include "server/delivery/lmVmTarget.h"
#include "server/ingest/lmVmTaskList.h"
#include "server/transcode/lmVmProcessor.h"

namespace {

// Limits the size of files this process writes while it lives; a write past the limit fails
// (instead of the signal ending the process).
class TFileSizeLimit {
  public:
    explicit TFileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &FOld);
        FOldHandler = signal(SIGXFSZ, SIG_IGN);
        rlimit limited = FOld;
        limited.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~TFileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &FOld);
        signal(SIGXFSZ, FOldHandler);
    }
    TFileSizeLimit(const TFileSizeLimit&) = delete;
    TFileSizeLimit& operator=(const TFileSizeLimit&) = delete;

  private:
    rlimit FOld{};
    sighandler_t FOldHandler;
};

class FolderDelivery : public ::testing::Test {
  protected:
    // A folder target on Folder, and an output file (with a side file when asked).
    std::shared_ptr<TVmTarget> MakeTarget(const std::string& Folder, int32_t Type = 0) {
        auto target = std::make_shared<TVmTarget>(true);
        target->SetName("Out");
        target->SetType(Type);
        target->SetFolder(Folder);
        return target;
    }
    std::string MakeOutput(bool WithSideFile) {
        const std::string output = Work / "processing/{1234}";
        WriteFile(output, "clip bytes");
        if (WithSideFile) {
            WriteFile(output + ".xmd", "captions");
        }
        return output;
    }
    bool Deliver(TVmTarget& Target, const std::string& Output) {
        return Target.Deliver(Output, Task, Meta);
    }

    TTestFolder Work;
    TVmTaskList List;
    TTaskItem Task{&List, true};
    TMetaItems Meta;
};

struct NameCase {
    const char* FileName;
    const char* Ext;
    const char* Copy;
    const char* SideFile;
};

TEST_F(FolderDelivery, NamesTheCopyAndTheSideFileFromFilenameAndExt) {
    const NameCase cases[] = {
        {"clip.mov", "avi", "clip.avi", "clip.xmd"},
        {"clip.avi", "", "clip.avi", "clip.avi.xmd"},
        {"my.clip.v2", "JPG", "my.clip.JPG", "my.clip.xmd"},
        {"plain", "avi", "plain.avi", "plain.xmd"},
    };
    const std::string output = MakeOutput(true);
    int index = 0;
    for (const NameCase& c : cases) {
        SCOPED_TRACE(c.FileName);
        const std::string folder = Work / ("out" + std::to_string(++index) + "/");
        auto target = MakeTarget(folder);
        Meta.SetText("filename", c.FileName);
        Meta.SetText("ext", c.Ext);
        ASSERT_TRUE(Deliver(*target, output));
        EXPECT_EQ(target->LastError(), "");
        EXPECT_EQ(ReadFile(folder + c.Copy), "clip bytes");
        EXPECT_EQ(ReadFile(folder + c.SideFile), "captions");
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder),
                                std::filesystem::directory_iterator()),
                  2);
    }
}

// An existing copy is replaced by a whole new file put in its place, never written over: a
// reader that has the old file open (here: a second name of it) keeps reading the old bytes.
TEST_F(FolderDelivery, WithoutSideFileOnlyTheOutputIsCopiedAndExistingCopiesAreReplaced) {
    const std::string output = MakeOutput(false);
    const std::string folder = Work / "out/";
    const std::string older = "an older and longer delivery of the clip";
    WriteFile(folder + "clip.avi", older);
    std::filesystem::create_hard_link(folder + "clip.avi", Work / "reader-has-it");
    auto target = MakeTarget(folder);
    Meta.SetText("filename", "clip");
    Meta.SetText("ext", "avi");
    ASSERT_TRUE(Deliver(*target, output));
    EXPECT_EQ(ReadFile(folder + "clip.avi"), "clip bytes");
    EXPECT_EQ(ReadFile(Work / "reader-has-it"), older);
    EXPECT_FALSE(Exists(folder + "clip.xmd"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder),
                            std::filesystem::directory_iterator()),
              1);
}

// A copy that fails half way (the process's file-size limit stops its writes) leaves the
// earlier delivery as it was and no temporary file, and is logged; a failed side file does not
// fail the delivery but is logged too.
TEST_F(FolderDelivery, AFailedCopyKeepsTheEarlierDeliveryAndLeavesNoPart) {
    const std::string logs = Work / "logs/";
    ASSERT_TRUE(LogOpen(logs, "delivery", "v1", 31, false));
    constexpr size_t limit = 1 << 20;
    const std::string big(2 * limit, 'b');
    struct CopyCase {
        std::string Output;
        std::string SideFile;
        bool Delivered;
        std::string LogLine;
    };
    const CopyCase cases[] = {
        {big, "captions", false, "Failed to copy file: "},
        {"clip bytes", big, true, "Failed to copy metadata file: "},
    };
    int index = 0;
    for (const CopyCase& c : cases) {
        SCOPED_TRACE(c.LogLine);
        const std::string folder = Work / ("out" + std::to_string(++index) + "/");
        WriteFile(folder + "clip.avi", "the earlier delivery");
        WriteFile(folder + "clip.xmd", "the earlier captions");
        const std::string output = Work / ("processing/{" + std::to_string(index) + "}");
        WriteFile(output, c.Output);
        WriteFile(output + ".xmd", c.SideFile);
        auto target = MakeTarget(folder);
        Meta.SetText("filename", "clip");
        Meta.SetText("ext", "avi");
        bool delivered = false;
        {
            TFileSizeLimit limited(limit);
            delivered = Deliver(*target, output);
        }
        EXPECT_EQ(delivered, c.Delivered);
        EXPECT_EQ(ReadFile(folder + "clip.avi"), c.Delivered ? c.Output : "the earlier delivery");
        EXPECT_EQ(ReadFile(folder + "clip.xmd"), "the earlier captions");
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder),
                                std::filesystem::directory_iterator()),
                  2);
    }
    LogClose();
    std::string log;
    for (const auto& entry : std::filesystem::directory_iterator(logs)) {
        log += ReadFile(entry.path().string());
    }
    for (const CopyCase& c : cases) {
        EXPECT_NE(log.find(": " + c.LogLine), std::string::npos) << log;
    }
    EXPECT_NE(log.find("File too large"), std::string::npos) << log;
}

TEST_F(FolderDelivery, FolderIsCompletedForTheDeliveryOnlyAndCreatedWithItsParents) {
    const std::string output = MakeOutput(true);
    const std::string folder = Work / "a/b/c";  // no trailing separator
    TVmTargets configured(true);
    auto target = MakeTarget(folder);
    configured.Append(target);
    // A job delivers through its processor copy, which holds duplicates of the targets.
    TVmProcessor processor(nullptr, false, true);
    processor.AddTarget(target);
    TVmProcessor jobCopy(nullptr, true, false);
    jobCopy.Assign(processor);
    Meta.SetText("filename", "clip");
    Meta.SetText("ext", "avi");
    ASSERT_TRUE(Deliver(*jobCopy.Targets().at(0), output));
    EXPECT_EQ(ReadFile(folder + "/clip.avi"), "clip bytes");
    EXPECT_EQ(ReadFile(folder + "/clip.xmd"), "captions");
    EXPECT_EQ(target->Folder(), folder);
    TXMLUnicode doc;
    doc.AddElement("targets");
    configured.SaveToXML(doc);
    std::string stored;
    ASSERT_TRUE(doc.SaveToString(stored));
    EXPECT_EQ(stored.find(folder + "/"), std::string::npos);
    EXPECT_NE(stored.find(folder), std::string::npos);
}

TEST_F(FolderDelivery, FailuresGiveTheirLastErrorAndLogLine) {
    const std::string logs = Work / "logs/";
    ASSERT_TRUE(LogOpen(logs, "delivery", "v1", 31, false));
    const std::string output = MakeOutput(true);
    WriteFile(Work / "blocker", "a file where a folder should be");
    const std::string uncreatable = Work / "blocker/sub/";
    const std::string existing = Work / "exists/";
    std::filesystem::create_directories(existing);

    struct FailCase {
        std::string Folder;
        std::string FileName;
        std::string Output;
        std::string LastError;
        std::string LogLine;
    };
    const FailCase cases[] = {
        {uncreatable, "clip", output, "Failed to create folder: \"" + uncreatable + "\" for target",
         "Failed to create target folder: \"" + uncreatable + "\""},
        {existing, "", output, "Failed to copy - empty filename - for target",
         "Failed to copy - empty filename"},
        {existing, "clip", output + ".missing",
         "Failed to write to folder: \"" + existing + "\" for target",
         "Failed to write to target folder: \"" + existing + "\""},
        {"  ", "clip", output, "", ""},
    };
    for (const FailCase& c : cases) {
        SCOPED_TRACE(c.LastError);
        auto target = MakeTarget(c.Folder);
        target->SetLastError("left from an earlier delivery");
        Meta.SetText("filename", c.FileName);
        Meta.SetText("ext", "avi");
        EXPECT_FALSE(Deliver(*target, c.Output));
        EXPECT_EQ(target->LastError(), c.LastError);
    }
    EXPECT_FALSE(Exists(existing + "clip.avi"));
    EXPECT_FALSE(Exists(existing + ".avi"));

    // A type that is neither a folder nor a Reelbank fails silently.
    const std::string unknownFolder = Work / "type-two/";
    auto unknown = MakeTarget(unknownFolder, 2);
    unknown->SetLastError("left from an earlier delivery");
    EXPECT_FALSE(Deliver(*unknown, output));
    EXPECT_EQ(unknown->LastError(), "");
    EXPECT_FALSE(Exists(unknownFolder));

    LogClose();
    std::string log;
    for (const auto& entry : std::filesystem::directory_iterator(logs)) {
        log += ReadFile(entry.path().string());
    }
    for (const FailCase& c : cases) {
        if (!c.LogLine.empty()) {
            EXPECT_NE(log.find(": " + c.LogLine + "\r\n"), std::string::npos) << c.LogLine;
        }
    }
    EXPECT_NE(log.find("Sending file: " + output + " to folder:   \r\n"), std::string::npos);
    EXPECT_EQ(log.find(unknownFolder), std::string::npos);
}

}  // namespace
