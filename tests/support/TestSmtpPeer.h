#pragma once

// A real SMTP server for tests: tests/support/smtp_peer.py (aiosmtpd) on a free loopback port,
// storing every message it takes in a folder of its own, read back here as a mail reader
// decodes it. Options turn on AUTH LOGIN, STARTTLS or implicit TLS (with a certificate the test
// makes with openssl), or an answer to every DATA (a 5xx or a 4xx code).

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/TestProcess.h"
#include "support/TestWait.h"

namespace testing_support {

struct TReceivedMail {
    std::map<std::string, std::string> Meta;  // mail_from, rcpt, auth, tls, subject, from, ...
    std::vector<std::string> Images;          // "CID;TYPE;SIZE;ISPNG"
    std::string Html;
    std::string Raw;
};

class TTestSmtpPeer {
  public:
    struct TOptions {
        std::string Login;  // "user:password" accepted by AUTH
        bool StartTls = false;
        bool ImplicitTls = false;
        std::string Answer;  // e.g. "550"
        int Port = 0;        // 0: a free port
    };

    TTestSmtpPeer(const std::filesystem::path& Folder, TOptions Options)
        : FFolder(Folder), FPort(Options.Port ? Options.Port : FreePort()) {
        std::filesystem::create_directories(FFolder);
        std::vector<std::string> arguments = {
            "/usr/bin/python3", std::string(LMV_TESTS_SUPPORT_DIR) + "/smtp_peer.py",
            "--port",           std::to_string(FPort),
            "--folder",         FFolder.string()};
        if (!Options.Login.empty())
            arguments.insert(arguments.end(), {"--login", Options.Login});
        if (Options.StartTls || Options.ImplicitTls) {
            MakeCertificate();
            arguments.insert(arguments.end(),
                             {Options.StartTls ? "--starttls" : "--implicit-tls",
                              (FFolder / "cert.pem").string(), (FFolder / "key.pem").string()});
        }
        if (!Options.Answer.empty())
            arguments.insert(arguments.end(), {"--answer", Options.Answer});
        FProcess = std::make_unique<TChildProcess>(arguments, (FFolder / "peer.log").string());
        Ready = WaitFor([&] { return std::filesystem::exists(FFolder / "ready"); },
                        std::chrono::seconds(30));
    }
    ~TTestSmtpPeer() { Stop(); }

    void Stop() {
        if (FProcess)
            FProcess->Stop(SIGTERM);
        FProcess.reset();
    }

    bool Ready = false;
    int Port() const { return FPort; }
    std::string Log() const { return ReadText(FFolder / "peer.log"); }

    // How many messages have arrived so far.
    size_t Count() const { return Names().size(); }
    bool WaitForCount(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
        return WaitFor([&] { return Count() >= count; }, limit);
    }
    int Connections() const {
        const std::string text = ReadText(FFolder / "connections");
        return text.empty() ? 0 : std::stoi(text);
    }

    std::vector<TReceivedMail> Mails() const {
        std::vector<TReceivedMail> mails;
        for (const std::string& name : Names()) {
            TReceivedMail mail;
            std::istringstream meta(ReadText(FFolder / (name + ".meta")));
            for (std::string line; std::getline(meta, line);) {
                const size_t equals = line.find('=');
                const std::string key = line.substr(0, equals), value = line.substr(equals + 1);
                if (key == "image")
                    mail.Images.push_back(value);
                else
                    mail.Meta[key] = value;
            }
            mail.Html = ReadText(FFolder / (name + ".html"));
            mail.Raw = ReadText(FFolder / (name + ".eml"));
            mails.push_back(std::move(mail));
        }
        return mails;
    }

    static std::string ReadText(const std::filesystem::path& path) {
        std::ifstream file(path, std::ios::binary);
        std::stringstream content;
        content << file.rdbuf();
        return content.str();
    }

  private:
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(FFolder))
            if (entry.path().extension() == ".meta")
                names.push_back(entry.path().stem().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    void MakeCertificate() {
        const TProcessResult made =
            RunProcess({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=localhost", "-keyout", (FFolder / "key.pem").string(), "-out",
                        (FFolder / "cert.pem").string()});
        EXPECT_EQ(made.ExitCode, 0) << made.Output;
    }

    std::filesystem::path FFolder;
    int FPort;
    std::unique_ptr<TChildProcess> FProcess;
};

}  // namespace testing_support
