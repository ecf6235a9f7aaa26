// Who may control the server process: the control secret of the installation ("secret" in
// "config.dat", or the one -SETSECRET writes), what a manager never gets to see, and the
// address the control port listens on ("listen").

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "foundation/kxLoginDigest.h"
#include "foundation/kxXMLClientServer.h"
#include "server/core/lmVmConfigStore.h"
#include "server/core/lmVmEngine.h"
#include "server/protocol/lmVmServer.h"
#include "support/TestInstallation.h"
#include "support/TestManagerConnection.h"
#include "support/TestProcess.h"

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

namespace fs = std::filesystem;

constexpr auto OwnerOnly = fs::perms::owner_read | fs::perms::owner_write;

// A manager's connection, keeping every packet it receives.
struct TManagerPeer {
    TManagerPeer() {
        Client.OnPacket = [this](TXMLClient&, TXMLPacket& packet, TXMLPacketPtr&) {
            Received.Push(packet);
        };
    }
    // Connects and answers the greeting's challenge with a digest of the secret; the login
    // reply, or none.
    TXMLPacketPtr LogIn(const std::string& host, int port, const std::string& secret) {
        if (!WaitFor([&] { return Client.Connect(host, static_cast<uint16_t>(port)); }))
            return nullptr;
        TXMLPacketPtr info = Received.Take("serverinfo");
        if (!info)
            return nullptr;
        Client.Send(
            NewPacket("login", LoginDigest(secret, ChildText(info->Document.Root(), "uid"))));
        return Received.Take("msg");
    }
    bool LoggedIn(const TXMLPacketPtr& reply) {
        return reply && reply->Subtype == "login" &&
               ChildText(reply->Document.Root(), "success") == "1";
    }

    TPacketQueue Received;  // outlives the connection, whose reader fills it
    TXMLClient Client;
};

std::string PacketXml(TXMLPacket& packet) {
    std::string xml;
    packet.Document.SaveToString(xml);
    return xml;
}

class AccessTest : public ::testing::Test {
  protected:
    void TearDown() override {
        if (Server) {
            EXPECT_EQ(Server->Stop(SIGTERM), 0) << Install.LogText();
        }
    }

    std::string ConfigPath() const { return (Install.Folder() / "config.dat").string(); }

    // Writes the store with the engine's settings and the host settings, and starts the server;
    // true once its start line says how listening went.
    bool StartWith(const TVmHostSettings& host, const std::string& mailPassword = {}) {
        TVmEngine engine;
        TVmEngineSettings settings = engine.Settings();
        settings.SPassword = mailPassword;
        engine.SetSettings(settings);
        engine.SetHostSettings(host);
        engine.Users().AddNew()->SetName("Ann");
        EXPECT_TRUE(TVmConfigStore(engine).SaveConfig(ConfigPath()));
        return Start();
    }
    bool Start() {
        Server = std::make_unique<TChildProcess>(
            std::vector<std::string>{Install.Server(), "-NOSERVICE",
                                     "SERVERPORT:" + std::to_string(Port)},
            (Install.Folder() / "out.txt").string());
        return WaitFor([&] { return Install.LogText().find(StartLine()) != std::string::npos; },
                       20s);
    }
    std::string StartLine() const {
        return "Starting Vidmill using TCP port " + std::to_string(Port) + ": ";
    }

    TTestInstallation Install;
    int Port = FreePort();
    std::unique_ptr<TChildProcess> Server;
};

}  // namespace

// With a secret of its own only that secret logs in; the built-in one is refused and gets
// nothing. The secret is never sent (not in "getconfig", not in a push), never logged, cannot
// be changed through "setengine", and the store that holds it is for its owner alone.
TEST_F(AccessTest, TheInstallationsSecretIsTheOnlyWayIn) {
    const std::string secret = "Qm3xSiteSecret";
    ASSERT_TRUE(StartWith({secret, ""}, "mail-password")) << Install.LogText();
    EXPECT_NE(Install.LogText().find(StartLine() + "Success."), std::string::npos);
    EXPECT_EQ(Install.LogText().find(TVmServer::NoSecretWarning), std::string::npos);

    TManagerPeer outsider;
    const TXMLPacketPtr refused = outsider.LogIn("127.0.0.1", Port, ControlSecret());
    ASSERT_TRUE(refused);
    EXPECT_EQ(ChildText(refused->Document.Root(), "success"), "0");
    EXPECT_EQ(ChildText(refused->Document.Root(), "message"), "Handshake failed.");
    outsider.Client.Send(NewPacket("getconfig"));
    EXPECT_FALSE(outsider.Received.Take("config", 3s));
    EXPECT_TRUE(WaitFor([&] { return !outsider.Client.Connected(); }));

    // A peer that never logs in hears none of the pushes.
    TManagerPeer anonymous;
    ASSERT_TRUE(WaitFor([&] { return anonymous.Client.Connect("127.0.0.1", Port); }));
    ASSERT_TRUE(anonymous.Received.Take("serverinfo"));

    TManagerPeer manager;
    ASSERT_TRUE(manager.LoggedIn(manager.LogIn("127.0.0.1", Port, secret)));
    manager.Client.Send(NewPacket("getconfig"));
    TXMLPacketPtr config = manager.Received.Take("config");
    ASSERT_TRUE(config);
    const std::string configXml = PacketXml(*config);
    EXPECT_EQ(configXml.find(secret), std::string::npos) << configXml;
    EXPECT_EQ(configXml.find("<secret"), std::string::npos) << configXml;

    // A "setengine" that names a secret and an address changes neither.
    TXMLPacketPtr setEngine = NewPacket("setengine");
    setEngine->Document.AddElement("name", "Renamed");
    setEngine->Document.AddElement("secret", "chosen-by-a-manager");
    setEngine->Document.AddElement("listen", "192.0.2.1");
    manager.Client.Send(std::move(setEngine));
    ASSERT_TRUE(manager.Received.Take("msg"));
    manager.Client.Send(NewPacket("adduser"));
    TXMLPacketPtr added = manager.Received.Take("user");
    ASSERT_TRUE(added);
    EXPECT_EQ(PacketXml(*added).find(secret), std::string::npos);
    EXPECT_FALSE(anonymous.Received.Take("user", 1s));

    TVmEngine stored;
    ASSERT_TRUE(TVmConfigStore(stored).LoadConfig(ConfigPath()));
    EXPECT_EQ(stored.Settings().Name, "Renamed");
    EXPECT_EQ(stored.HostSettings(), (TVmHostSettings{secret, ""}));
    EXPECT_EQ(fs::status(ConfigPath()).permissions() & fs::perms::all, OwnerOnly);
    TManagerPeer again;
    EXPECT_TRUE(again.LoggedIn(again.LogIn("127.0.0.1", Port, secret)));
    EXPECT_EQ(Install.LogText().find(secret), std::string::npos) << Install.LogText();
}

// Without a secret the built-in one logs in, as it always did, and every start says so.
TEST_F(AccessTest, WithoutASecretEveryStartWarns) {
    ASSERT_TRUE(StartWith({})) << Install.LogText();
    EXPECT_NE(Install.LogText().find(TVmServer::NoSecretWarning), std::string::npos);
    TManagerPeer manager;
    EXPECT_TRUE(manager.LoggedIn(manager.LogIn("127.0.0.1", Port, ControlSecret())));
}

// -SETSECRET writes a fresh random secret into the store, keeps everything else there, prints
// the secret and exits; from then on only it logs in. It refuses while the server runs, whose
// next save would put its own secret back.
TEST_F(AccessTest, SetSecretWritesARandomSecretThatManagersThenNeed) {
    ASSERT_TRUE(StartWith({})) << Install.LogText();
    const TProcessResult refused = RunProcess({Install.Server(), "-SETSECRET"});
    EXPECT_EQ(refused.ExitCode, 1);
    EXPECT_NE(refused.Output.find("another Vidmill instance is running"), std::string::npos)
        << refused.Output;
    ASSERT_EQ(Server->Stop(SIGTERM), 0);
    Server.reset();
    TVmEngine before;
    ASSERT_TRUE(TVmConfigStore(before).LoadConfig(ConfigPath()));
    EXPECT_TRUE(before.HostSettings().Secret.empty());

    std::vector<std::string> secrets;
    for (int i = 0; i < 2; ++i) {
        const TProcessResult result = RunProcess({Install.Server(), "-SETSECRET"});
        ASSERT_EQ(result.ExitCode, 0) << result.Output;
        ASSERT_FALSE(result.Output.empty());
        ASSERT_EQ(result.Output.back(), '\n');
        const std::string secret = result.Output.substr(0, result.Output.size() - 1);
        EXPECT_EQ(secret.size(), 32u) << secret;
        for (char c : secret) {
            EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c))) << secret;
        }
        secrets.push_back(secret);
    }
    EXPECT_NE(secrets[0], secrets[1]);
    TVmEngine after;
    ASSERT_TRUE(TVmConfigStore(after).LoadConfig(ConfigPath()));
    EXPECT_EQ(after.HostSettings().Secret, secrets[1]);
    ASSERT_EQ(after.Users().Count(), 1);
    EXPECT_EQ(after.Users().Items(0)->Name(), "Ann");
    EXPECT_EQ(fs::status(ConfigPath()).permissions() & fs::perms::all, OwnerOnly);

    ASSERT_TRUE(Start()) << Install.LogText();
    TManagerPeer outsider;
    const TXMLPacketPtr reply = outsider.LogIn("127.0.0.1", Port, secrets[0]);
    ASSERT_TRUE(reply);
    EXPECT_EQ(ChildText(reply->Document.Root(), "success"), "0");
    TManagerPeer manager;
    EXPECT_TRUE(manager.LoggedIn(manager.LogIn("127.0.0.1", Port, secrets[1])));
    for (const std::string& secret : secrets) {
        EXPECT_EQ(Install.LogText().find(secret), std::string::npos);
    }
}

// With "listen" the control port takes connections on that address alone, IPv4 or IPv6.
TEST_F(AccessTest, TheControlPortListensOnTheConfiguredAddressOnly) {
    ASSERT_TRUE(StartWith({"", "127.0.0.1"})) << Install.LogText();
    EXPECT_NE(Install.LogText().find(StartLine() + "Success."), std::string::npos);
    TManagerPeer inside;
    EXPECT_TRUE(inside.LoggedIn(inside.LogIn("127.0.0.1", Port, ControlSecret())));
    TXMLClient elsewhere;
    EXPECT_FALSE(elsewhere.Connect("127.0.0.2", static_cast<uint16_t>(Port)));
    ASSERT_EQ(Server->Stop(SIGTERM), 0);
    Server.reset();

    port::Socket probe;
    port::NetworkAddress loopback6;
    std::string error;
    ASSERT_TRUE(port::ResolveAddress("::1", loopback6, error)) << error;
    if (!probe.Open(true, 0, true) || !probe.Bind(loopback6, 0))
        GTEST_SKIP() << "no IPv6 loopback here";
    probe.Close();
    ASSERT_TRUE(StartWith({"", "::1"})) << Install.LogText();
    EXPECT_NE(Install.LogText().find(StartLine() + "Success."), std::string::npos);
    TManagerPeer over6;
    EXPECT_TRUE(over6.LoggedIn(over6.LogIn("::1", Port, ControlSecret())));
    EXPECT_TRUE(WaitFor(
        [&] { return Install.LogText().find("Client connected: ::1") != std::string::npos; }));
    TXMLClient over4;
    EXPECT_FALSE(over4.Connect("127.0.0.1", static_cast<uint16_t>(Port)));
}

// An address that cannot be listened on fails the start with a line that names it; the
// application keeps running without a listener, as after any failed bind.
TEST_F(AccessTest, AListenAddressThatCannotBeUsedFailsTheStart) {
    struct TCase {
        const char* Address;
        const char* Reason;
    };
    for (const TCase& c : {TCase{"no-such-host.invalid",
                                 "listen address \"no-such-host.invalid\" cannot be "
                                 "resolved"},
                           TCase{"192.0.2.1", "unable to bind socket to port on 192.0.2.1"}}) {
        SCOPED_TRACE(c.Address);
        ASSERT_TRUE(StartWith({"", c.Address})) << Install.LogText();
        EXPECT_NE(Install.LogText().find(StartLine() + "Failed (" + c.Reason), std::string::npos)
            << Install.LogText();
        TXMLClient client;
        EXPECT_FALSE(client.Connect("127.0.0.1", static_cast<uint16_t>(Port)));
        ASSERT_EQ(Server->Stop(SIGTERM), 0);
        Server.reset();
        fs::remove_all(Install.Folder() / "logs");
    }
}
