#pragma once

// A real SMTP server for tests: tests/support/smtp_peer.py (aiosmtpd) on a free loopback port,
// storing every message it takes in a folder of its own, read back here as a mail reader
// decodes it. Options turn on AUTH LOGIN, STARTTLS or implicit TLS (with a certificate the test
// makes with openssl), an answer to every DATA (a 5xx or a 4xx code) or to the RCPT of some
// addresses, or a hold on the answer to each message it has stored.

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
        // "address=code": RCPT TO of that address answered with that code.
        std::vector<std::string> RcptAnswers;
        // When set, each message is stored but answered only once this file exists.
        std::string Hold;
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
            MakeCertificate(FFolder);
            arguments.insert(arguments.end(),
                             {Options.StartTls ? "--starttls" : "--implicit-tls",
                              (FFolder / "cert.pem").string(), (FFolder / "key.pem").string()});
        }
        if (!Options.Answer.empty())
            arguments.insert(arguments.end(), {"--answer", Options.Answer});
        for (const std::string& answer : Options.RcptAnswers)
            arguments.insert(arguments.end(), {"--rcpt-answer", answer});
        if (!Options.Hold.empty())
            arguments.insert(arguments.end(), {"--hold", Options.Hold});
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
    int Connections() const { return Counter("connections"); }
    // AUTH exchanges begun: a login that never left the client leaves none.
    int AuthAttempts() const { return Counter("auth_attempts"); }
    // The peer's certificate (with TLS), for a client to trust.
    std::filesystem::path Certificate() const { return FFolder / "cert.pem"; }

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

    // A self-signed certificate for localhost and 127.0.0.1, "cert.pem" and "key.pem" in Folder.
    static void MakeCertificate(const std::filesystem::path& Folder) {
        std::filesystem::create_directories(Folder);
        const TProcessResult made = RunProcess(
            {"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
             "/CN=localhost", "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1", "-keyout",
             (Folder / "key.pem").string(), "-out", (Folder / "cert.pem").string()});
        EXPECT_EQ(made.ExitCode, 0) << made.Output;
    }

  private:
    int Counter(const char* Name) const {
        const std::string text = ReadText(FFolder / Name);
        return text.empty() ? 0 : std::stoi(text);
    }

    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(FFolder))
            if (entry.path().extension() == ".meta")
                names.push_back(entry.path().stem().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    std::filesystem::path FFolder;
    int FPort;
    std::unique_ptr<TChildProcess> FProcess;
};

}  // namespace testing_support
