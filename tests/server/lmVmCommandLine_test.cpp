#include "server/core/lmVmCommandLine.h"

#include <gtest/gtest.h>

TEST(CommandLine, SwitchesNeedADashOrSlashAndIgnoreCase) {
    struct Case {
        std::vector<std::string> arguments;
        bool noService;
    };
    const Case cases[] = {
        {{"/noservice"}, true},      {{"-NOSERVICE"}, true},
        {{"-NoService"}, true},      {{"NOSERVICE"}, false},
        {{"--NOSERVICE"}, false},    {{"/NOSERVICEX"}, false},
        {{"x", "/NOSERVICE"}, true}, {{}, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TVmCommandLine(c.arguments).HasSwitch("NOSERVICE"), c.noService)
            << (c.arguments.empty() ? "" : c.arguments.back());
    }
}

TEST(CommandLine, ServerPortOverride) {
    struct Case {
        std::vector<std::string> arguments;
        int port;
    };
    const Case cases[] = {
        {{"SERVERPORT:9000"}, 9000},
        {{"serverport:9000"}, 9000},
        {{"/SERVERPORT:9000"}, 9797},
        {{"-SERVERPORT:9000"}, 9797},
        {{"SERVERPORT:abc"}, 9797},
        {{"SERVERPORT:1F90"}, 9797},
        {{"SERVERPORT:$1F90"}, 8080},
        {{"SERVERPORT:x1F90"}, 8080},
        {{"SERVERPORT:0x1f90"}, 8080},
        {{"SERVERPORT:+123"}, 123},
        {{"SERVERPORT:"}, 9797},
        {{"SERVERPORT:1000", "SERVERPORT:2000"}, 2000},
        {{"SERVERPORT:1000", "SERVERPORT:zz"}, 1000},
        {{"SERVERPORT:a:1234"}, 1234},  // the text after the last ":" counts
        {{"SERVERPORT:99999999999"}, 9797},
        {{"NOSERVICE"}, 9797},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TVmCommandLine(c.arguments).ServerPort(9797), c.port) << c.arguments.front();
    }
}

TEST(CommandLine, RequestsAndArgumentsTheServerDoesNotKnow) {
    using TRequest = TVmCommandLine::TRequest;
    struct Case {
        std::vector<std::string> arguments;
        TRequest request;
        std::vector<std::string> unknown;
        std::vector<std::string> ignoredPorts;
    };
    const Case cases[] = {
        {{"-NOSERVICE", "SERVERPORT:9000"}, TRequest::Run, {}, {}},
        {{"/install", "-Silent"}, TRequest::Run, {}, {}},
        {{"--version", "--help"}, TRequest::Help, {}, {}},
        {{"-?"}, TRequest::Help, {}, {}},
        {{"--VERSION", "-x"}, TRequest::Version, {"-x"}, {}},
        {{"--noservice", "start", "/"}, TRequest::Run, {"--noservice", "start", "/"}, {}},
        {{"/SERVERPORT:9000", "-serverport:1"},
         TRequest::Run,
         {},
         {"/SERVERPORT:9000", "-serverport:1"}},
    };
    for (const Case& c : cases) {
        const TVmCommandLine commandLine(c.arguments);
        EXPECT_EQ(commandLine.Request(), c.request) << c.arguments.front();
        EXPECT_EQ(commandLine.UnknownArguments(), c.unknown) << c.arguments.front();
        EXPECT_EQ(commandLine.IgnoredPortArguments(), c.ignoredPorts) << c.arguments.front();
    }
}

// The configuration, the mail spool and the logs lie beside the server unless an absolute
// folder is named for them; a folder override that names none is refused, not ignored.
TEST(CommandLine, FolderOverrides) {
    struct Case {
        std::vector<std::string> arguments;
        TVmFolders folders;
        std::vector<std::string> invalid;
        std::vector<std::string> unknown;
    };
    const std::string install = "/opt/lmv/";
    const TVmFolders beside{install, install, install, install + "logs/"};
    const Case cases[] = {
        {{"-NOSERVICE"}, beside, {}, {}},
        {{"CONFIGFOLDER:/etc/lmv", "datafolder:/var/lib/lmv/", "LogFolder:/var/log/lmv"},
         {install, "/etc/lmv/", "/var/lib/lmv/", "/var/log/lmv/"},
         {},
         {}},
        {{"CONFIGFOLDER:/a/", "CONFIGFOLDER:/b:c"},
         {install, "/b:c/", install, beside.Log},
         {},
         {}},
        {{"CONFIGFOLDER:etc/lmv", "DATAFOLDER:", "LOGFOLDER:./logs"},
         beside,
         {"CONFIGFOLDER:etc/lmv", "DATAFOLDER:", "LOGFOLDER:./logs"},
         {}},
        {{"CONFIGFOLDER:/a/", "CONFIGFOLDER:b"},
         {install, "/a/", install, beside.Log},
         {"CONFIGFOLDER:b"},
         {}},
        {{"-CONFIGFOLDER:/etc/lmv", "/LOGFOLDER:/x"},
         beside,
         {},
         {"-CONFIGFOLDER:/etc/lmv", "/LOGFOLDER:/x"}},
    };
    for (const Case& c : cases) {
        const TVmCommandLine commandLine(c.arguments);
        const TVmFolders folders = commandLine.Folders(install);
        EXPECT_EQ(folders.Install, c.folders.Install) << c.arguments.front();
        EXPECT_EQ(folders.Config, c.folders.Config) << c.arguments.front();
        EXPECT_EQ(folders.Data, c.folders.Data) << c.arguments.front();
        EXPECT_EQ(folders.Log, c.folders.Log) << c.arguments.front();
        EXPECT_EQ(commandLine.InvalidFolderArguments(), c.invalid) << c.arguments.front();
        EXPECT_EQ(commandLine.UnknownArguments(), c.unknown) << c.arguments.front();
    }
}
