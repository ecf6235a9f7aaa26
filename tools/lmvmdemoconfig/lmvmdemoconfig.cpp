// lmvmdemoconfig: writes a ready "config.dat" for trying the server out: one source watching a
// folder, one processor, one folder target delivering into another folder.

#include <cstdio>
#include <string>

#include "server/core/lmVmCommandLine.h"
#include "server/core/lmVmConfigStore.h"
#include "server/core/lmVmEngine.h"

namespace {

std::string WithSlash(std::string folder) {
    if (!folder.empty() && folder.back() != '/')
        folder += '/';
    return folder;
}

}  // namespace

int main(int argc, char** argv) {
    int port = 0;
    if (argc != 5 || !TryStrToInt(argv[4], port) || port < 1 || port > 65535) {
        std::fprintf(stderr,
                     "usage: lmvmdemoconfig CONFIG-FILE WATCH-FOLDER OUTPUT-FOLDER PORT\n"
                     "Writes a configuration with one source watching WATCH-FOLDER whose\n"
                     "processor delivers into OUTPUT-FOLDER, and the control port PORT.\n");
        return 2;
    }
    TVmEngine engine;
    TVmEngineSettings settings = engine.Settings();
    settings.Name = "Demo Vidmill";
    settings.Desc = "A demonstration configuration";
    settings.Port = port;
    settings.Threads = 2;
    engine.SetSettings(settings);

    auto target = engine.Targets().AddNew();
    target->SetName("Demo output");
    target->SetType(TVmTarget::FolderType);
    target->SetFolder(WithSlash(argv[3]));

    auto processor = engine.Processors().AddNew();
    processor->SetName("Demo processor");
    processor->AddTarget(target);

    auto source = engine.Sources().AddNew();
    source->SetName("Demo watch folder");
    source->SetWatchFolder(WithSlash(argv[2]));
    source->SetExtensionFilter("*.lvf; *.mov; *.mp4; *.avi; *.png; *.jpg; *.tga");
    source->SetProcessor(processor);

    if (!TVmConfigStore(engine).SaveConfig(argv[1])) {
        std::fprintf(stderr, "lmvmdemoconfig: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
