// lmvmmailsample: composes a sample batch of three clips with a mail template, as the server
// would spool it, and writes the mail's HTML body with its thumbnails beside it, so that the
// template can be looked at in a browser.
//
//   lmvmmailsample SERVERFOLDER TEMPLATE OUTFOLDER
//
// SERVERFOLDER holds "EmailTemplates/"; the spool is made in a temporary folder below
// OUTFOLDER. Writes OUTFOLDER/mail.html (the "cid:" references pointing at the thumbnail files)
// and prints the subject.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "server/notify/lmVmMailServer.h"
#include "server/protocol/lmVmUser.h"

namespace fs = std::filesystem;

namespace {

// A test card of colour bars, 160 x 90.
std::unique_ptr<TPNGImage> Thumbnail(int Shift) {
    auto image = std::make_unique<TPNGImage>(160, 90);
    static const uint32_t bars[] = {0xC0C0C0, 0xC0C000, 0x00C0C0, 0x00C000,
                                    0xC000C0, 0xC00000, 0x0000C0};
    for (int y = 0; y < 90; ++y) {
        for (int x = 0; x < 160; ++x) {
            const uint32_t colour = bars[(x * 7 / 160 + Shift) % 7];
            uint8_t* p = image->Pixels() + (y * 160 + x) * 4;
            p[0] = colour >> 16;
            p[1] = (colour >> 8) & 0xFF;
            p[2] = colour & 0xFF;
            p[3] = 0xFF;
        }
    }
    return image;
}

std::unique_ptr<TMailInfo> Record(const std::string& Clip, const std::string& Recall,
                                  const std::string& Flags, bool Passed, bool WithThumbnail,
                                  int Shift) {
    auto record = std::make_unique<TMailInfo>();
    record->FileName = Clip + " #" + Recall + ".mov";
    record->SourceName = "Newsroom drop";
    record->ClipName = Clip;
    record->StartTime = "10-12-2026 14:02:11";
    record->EndTime = "10-12-2026 14:02:48";
    record->FinalSize = "412.7 MB";
    record->FailReason = Passed ? "" : "Error executing target: disk full \"Archive\"";
    record->RecallID = Recall;
    record->Length = "00:00:42:13";
    record->Format = "1920x1080@29.97i";
    record->Flags = Flags;
    record->AudioChannels = "2";
    record->BitDepth = "16";
    record->Project = "Evening News";
    record->TargetResults = {{"Playout server", true}, {"Archive", Passed}};
    record->RenderTargets();
    if (WithThumbnail) {
        record->Thumbnail = Thumbnail(Shift);
    }
    return record;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: lmvmmailsample SERVERFOLDER TEMPLATE OUTFOLDER\n");
        return 2;
    }
    const fs::path out = argv[3];
    const fs::path work = out / "server";
    fs::create_directories(work / "EmailTemplates");
    fs::copy_file(fs::path(argv[1]) / "EmailTemplates" / argv[2], work / "EmailTemplates" / argv[2],
                  fs::copy_options::overwrite_existing);
    TMailServer server(work.string() + "/");
    auto user = std::make_shared<TVmUser>(nullptr, true);
    user->SetName("Zoë Lindqvist");
    user->SetEmail("zoe@example.org");
    std::vector<std::unique_ptr<TMailInfo>> records;
    records.push_back(Record("Harbour fire", "1042", "LE HF", true, true, 0));
    records.push_back(Record("Interview Mayor", "-", "-", false, false, 0));
    records.push_back(Record("Weather <late>", "1044", "PM", true, true, 3));
    if (!server.WriteMail(argv[2], {user}, records)) {
        std::fprintf(stderr, "the sample could not be composed (see the template)\n");
        return 1;
    }
    for (const auto& entry : fs::directory_iterator(work / "MailQueue")) {
        if (!entry.is_directory() || entry.path().filename() == "Failed") {
            continue;
        }
        std::string body, subject;
        std::ifstream mail(entry.path() / "user000.mail");
        std::string line;
        std::getline(mail, line);
        std::getline(mail, subject);
        while (std::getline(mail, line)) {
            body += line + "\n";
        }
        for (const auto& file : fs::directory_iterator(entry.path())) {
            const std::string name = file.path().filename().string();
            if (name.rfind("thumb", 0) != 0) {
                continue;
            }
            const std::string cid = "cid:IMAGE" + std::to_string(std::stoi(name.substr(5, 6)) + 1);
            fs::copy_file(file.path(), out / name, fs::copy_options::overwrite_existing);
            for (size_t at; (at = body.find(cid + "\"")) != std::string::npos;) {
                body.replace(at, cid.size(), name);
            }
        }
        std::ofstream(out / "mail.html") << body;
        std::printf("%s\n", subject.c_str());
        return 0;
    }
    return 1;
}
