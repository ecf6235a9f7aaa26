#include "foundation/kxSocket.h"

#include <algorithm>
#include <cerrno>
#include <istream>
#include <vector>

#include "foundation/kxLogFile.h"
#include "foundation/kxSocketServer.h"
#include "port/port.h"

namespace {

uint32_t Distance(uint32_t a, uint32_t b) {
    const uint32_t d = a - b;
    return static_cast<int32_t>(d) < 0 ? b - a : d;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TqvSocket

TqvSocket::TqvSocket(std::unique_ptr<port::Socket> accepted) : FSocket(std::move(accepted)) {
    FConnected.store(true);
    FLocalAddress = FSocket->LocalAddress();
    FLocalPort = FSocket->LocalPort();
    FRemoteAddress = FSocket->RemoteAddress();
    FRemotePort = FSocket->RemotePort();
    FRemoteAddressText = FSocket->RemoteAddressText();
    if (SendTimeout > 0) {
        FSocket->SetSendTimeout(SendTimeout);
    }
}

bool TqvSocket::Open(bool ipv6) {
    return FSocket->Open(NoDelay, BufferSize, ipv6);
}

bool TqvSocket::Bind(uint16_t port) {
    return Bind(port::IPv4Address(0), port);
}

bool TqvSocket::Bind(const port::NetworkAddress& address, uint16_t port) {
    if (!FSocket->Bind(address, port)) {
        return false;
    }
    FLocalAddress = FSocket->LocalAddress();
    FLocalPort = FSocket->LocalPort();
    return true;
}

bool TqvSocket::ListenOn() {
    return FSocket->Listen(5);
}

bool TqvSocket::ConnectTo(uint32_t address, uint16_t port) {
    return ConnectTo(port::IPv4Address(address), port, 0);
}

bool TqvSocket::ConnectTo(const port::NetworkAddress& address, uint16_t port, int timeoutMs) {
    if (!FSocket->Connect(address, port, timeoutMs)) {
        return false;
    }
    if (SendTimeout > 0) {
        FSocket->SetSendTimeout(SendTimeout);
    }
    FLocalAddress = FSocket->LocalAddress();
    FLocalPort = FSocket->LocalPort();
    FRemoteAddress = FSocket->RemoteAddress();
    FRemotePort = port;
    FRemoteAddressText = port::AddressToString(address);
    FConnected.store(true);
    return true;
}

std::unique_ptr<TqvSocket> TqvSocket::Accept() {
    auto socket = FSocket->Accept(NoDelay, BufferSize);
    if (!socket) {
        return nullptr;
    }
    return std::make_unique<TqvSocket>(std::move(socket));
}

int64_t TqvSocket::Receive(void* buffer, size_t size) {
    const int64_t got = FSocket->Receive(buffer, size);
    if (got == 0 && size > 0) {
        FPeerEnded.store(true);
        FSocket->SetLastError(ECONNRESET);
    }
    if (got <= 0 && size > 0) {
        // The descriptor stays open until its owner closes it, so a sender on another thread
        // never writes to a number the system has handed out again.
        FConnected.store(false);
        FSocket->Shutdown();
    }
    return got;
}

int64_t TqvSocket::ReceiveToFile(port::DataFile& file, int64_t length) {
    const int64_t got = FSocket->ReceiveToFile(file, length);
    if (got == 0 && length > 0) {
        FPeerEnded.store(true);
        FSocket->SetLastError(ECONNRESET);
    }
    if (got <= 0 && length > 0) {
        FConnected.store(false);
        FSocket->Shutdown();
    }
    return got;
}

int64_t TqvSocket::ReceiveInto(std::string& buffer) {
    const size_t old = buffer.size();
    buffer.resize(old + ChunkSize);
    const int64_t got = Receive(buffer.data() + old, ChunkSize);
    buffer.resize(old + static_cast<size_t>(std::max<int64_t>(got, 0)));
    return got;
}

bool TqvSocket::Send(const void* buffer, size_t size) {
    if (!FConnected.load()) {
        return false;
    }
    const int64_t sent = FSocket->Send(buffer, size);
    FBytesSent.fetch_add(sent);
    if (sent != static_cast<int64_t>(size)) {
        FConnected.store(false);
        FSocket->Shutdown();
        return false;
    }
    return true;
}

int64_t TqvSocket::SendAvailable(const port::SendPiece* pieces, size_t count) {
    if (!FConnected.load()) {
        return -1;
    }
    const int64_t taken = FSocket->SendAvailable(pieces, count);
    if (taken < 0) {
        FConnected.store(false);
        FSocket->Shutdown();
    }
    return taken;
}

bool TqvSocket::SendStream(std::istream& stream) {
    std::vector<char> chunk(static_cast<size_t>(std::max(BufferSize, 4096)));
    while (stream) {
        stream.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        const std::streamsize got = stream.gcount();
        if (got > 0 && !Send(chunk.data(), static_cast<size_t>(got))) {
            return false;
        }
    }
    return true;
}

bool TqvSocket::SendFile(port::DataFile& file, int64_t offset, int64_t length) {
    if (!FConnected.load()) {
        return false;
    }
    // In slices, so that the count of bytes sent moves while a large file goes out.
    constexpr int64_t slice = int64_t{4} << 20;
    for (int64_t done = 0; done < length;) {
        const int64_t want = std::min(slice, length - done);
        const int64_t sent = FSocket->SendFile(file, offset + done, want);
        FBytesSent.fetch_add(sent);
        if (sent != want) {
            FConnected.store(false);
            FSocket->Shutdown();
            return false;
        }
        done += sent;
    }
    return true;
}

int TqvSocket::WaitReadable(int milliseconds) {
    const int result = FSocket->WaitReadable(milliseconds);
    if (result == 2) {
        FConnected.store(false);
    }
    return result;
}

void TqvSocket::SetReceiveBufferSize(int bytes) {
    FSocket->SetReceiveBufferSize(bytes);
}

void TqvSocket::Shutdown() {
    FConnected.store(false);
    FSocket->Shutdown();
}

void TqvSocket::ShutdownSend() {
    FSocket->ShutdownSend();
}

void TqvSocket::Close() {
    FConnected.store(false);
    FSocket->Close();
}

// ---------------------------------------------------------------------------------------------
// TSocketClient

class TSocketClient::TReader final : public TkxThread {
  public:
    explicit TReader(TSocketClient& client) : TkxThread("SocketReader"), FClient(client) {}
    ~TReader() override {
        Terminate();
        WaitFor();
    }

  private:
    void Execute() override { FClient.ReaderLoop(*this); }
    TSocketClient& FClient;
};

TSocketClient::TSocketClient() : FPool(TReconnectPool::Acquire()) {
    FSocket->NoDelay = NoDelay;
}

TSocketClient::~TSocketClient() {
    FPool->Remove(this);
    if (!FServer) {
        FClosing.store(true);
        StopReader();
    }
    FOldReaders.clear();
}

void TSocketClient::Touch() {
    FLastActivity.store(port::GetTickCount());
}

std::string TSocketClient::PeerAddress() const {
    return FSocket->RemoteAddressText();
}

void TSocketClient::AwaitResponse(bool awaiting) {
    FAwaitingSince.store(port::GetTickCount());
    FAwaitingResponse.store(awaiting);
}

bool TSocketClient::ResponseOverdue() const {
    const uint32_t limit = ResponseTimeout.load();
    if (!FAwaitingResponse.load() || limit == 0) {
        return false;
    }
    const uint32_t now = port::GetTickCount();
    return std::min(Distance(now, FAwaitingSince.load()), Distance(now, FLastReceived.load())) >
           limit;
}

int TSocketClient::ReaderWait() const {
    const int tick = ReaderTick.load();
    const uint32_t limit = ResponseTimeout.load();
    if (!FAwaitingResponse.load() || limit == 0) {
        return tick;
    }
    // Woken a little after the response falls due, not at the next tick.
    const uint32_t now = port::GetTickCount();
    const uint32_t quiet =
        std::min(Distance(now, FAwaitingSince.load()), Distance(now, FLastReceived.load()));
    return quiet >= limit ? 1 : std::min(tick, static_cast<int>(limit - quiet) + 1);
}

void TSocketClient::SetState(uint8_t state) {
    FState.store(state);
    DoStateChange();
}

void TSocketClient::StopReader() {
    if (!FReader) {
        return;
    }
    FReader->Terminate();
    FSocket->Shutdown();
    if (FReader->IsCurrentThread()) {
        // The reader cannot wait for itself; it is joined with the next stop or at the end.
        FOldReaders.push_back(std::move(FReader));
    } else {
        // Joined before the pointer is cleared: the reader never sees it change.
        FReader->WaitFor();
        FReader.reset();
    }
}

bool TSocketClient::Connect(const std::string& host, uint16_t port) {
    if (FServer) {
        return false;
    }
    Disconnect();
    FPool->Remove(this);
    FWaitingForReconnect.store(false);
    FClosing.store(false);
    {
        TLock lock(FLock);
        FSocket = std::make_unique<TqvSocket>();
        FSocket->NoDelay = NoDelay;
    }
    FHost = host;
    FPort = port;

    SetState(csResolving);
    port::NetworkAddress address;
    std::string resolveError;
    if (!port::ResolveAddress(host, address, resolveError)) {
        SetState(csDisconnected);
        DoResolveFailed();
        DoConnectFailed();
        ScheduleReconnect();
        return false;
    }
    if (!FSocket->Open(address.IPv6)) {
        SetState(csDisconnected);
        DoConnectFailed();
        ScheduleReconnect();
        return false;
    }
    {
        // AbortConnect sees the state and the socket together.
        TLock lock(FLock);
        FState.store(csConnecting);
    }
    DoStateChange();
    const bool connected =
        !FClosing.load() &&
        FSocket->ConnectTo(address, port, static_cast<int>(ConnectTimeout.load()));
    if (!connected) {
        FSocket->Close();
        SetState(csDisconnected);
        DoConnectFailed();
        ScheduleReconnect();
        return false;
    }
    Touch();
    SetState(csConnected);
    StartReader();
    DoConnected();
    return true;
}

void TSocketClient::AbortConnect() {
    TLock lock(FLock);
    if (FServer || FState.load() != csConnecting) {
        return;
    }
    // The descriptor stays open: the connecting thread closes it once its wait has ended.
    FClosing.store(true);
    FSocket->Shutdown();
}

void TSocketClient::StartReader() {
    FReader = std::make_unique<TReader>(*this);
    FReader->Start();
}

void TSocketClient::JoinReader() {
    if (FReader) {
        FReader->WaitFor();
    }
}

void TSocketClient::Disconnect() {
    FClosing.store(true);
    if (FServer) {
        // The reader sees the shut-down socket, ends and lets the server free the connection.
        FSocket->Shutdown();
        return;
    }
    FPool->Remove(this);
    FWaitingForReconnect.store(false);
    StopReader();
    {
        TLock lock(FLock);
        if (!FReader) {
            FSocket->Close();
        }
    }
    if (FState.load() != csDisconnected) {
        SetState(csDisconnected);
    }
}

void TSocketClient::Attach(TSocketServer* server, std::unique_ptr<TqvSocket> socket, uint32_t id) {
    FServer = server;
    FSocket = std::move(socket);
    FId = id;
    Touch();
    FState.store(csConnected);
    DoAccepted();
}

void TSocketClient::ReaderLoop(TReader& self) {
    DoReaderStart();
    while (!self.Terminated() && FSocket->Connected()) {
        const int ready = FSocket->WaitReadable(ReaderWait());
        if (ready == 2) {
            break;
        }
        if (ready == 1) {
            FLastReceived.store(port::GetTickCount());
        } else if (ResponseOverdue()) {
            FAwaitingResponse.store(false);
            try {
                DoResponseTimeout();
            } catch (...) {
                LogCaughtException("the response time-out of a socket client");
            }
            continue;
        }
        if (ready == 0) {
            if (!FServer && FBusyCount.load() < 1 &&
                Distance(port::GetTickCount(), FLastActivity.load()) > KeepAliveInterval.load()) {
                try {
                    DoKeepAlive();
                } catch (...) {
                    LogCaughtException("the keep-alive of a socket client");
                }
            }
            continue;
        }
        Touch();
        try {
            DoReceive();
        } catch (...) {
            LogCaughtException("the receive handler of a socket client");
        }
    }
    if (FServer) {
        // The server's writer must be done with the socket before its descriptor goes.
        FServer->Writer().Detach(*this);
    }
    {
        TLock lock(FLock);
        FSocket->Close();
    }
    SetState(csDisconnected);
    try {
        DoDisconnected();
    } catch (...) {
        LogCaughtException("the disconnect handler of a socket client");
    }
    ScheduleReconnect();
    if (FServer) {
        FServer->ConnectionEnded(this);
    }
}

void TSocketClient::ScheduleReconnect() {
    if (!FAutoReconnect.load() || FClosing.load() || FWaitingForReconnect.load()) {
        return;
    }
    {
        TLock lock(FLock);
        FReconnectDue.store(port::GetTickCount() + FReconnectDelay.load());
        FWaitingForReconnect.store(true);
    }
    FPool->Add(this);
}

// ---------------------------------------------------------------------------------------------
// TReconnectPool

namespace {

TMutex& PoolLock() {
    static TMutex lock;
    return lock;
}

std::weak_ptr<TReconnectPool>& PoolInstance() {
    static std::weak_ptr<TReconnectPool> pool;
    return pool;
}

}  // namespace

std::shared_ptr<TReconnectPool> TReconnectPool::Acquire() {
    TLock lock(PoolLock());
    std::shared_ptr<TReconnectPool> pool = PoolInstance().lock();
    if (!pool) {
        pool = std::make_shared<TReconnectPool>();
        PoolInstance() = pool;
    }
    return pool;
}

TReconnectPool::TReconnectPool() {
    FThread = std::thread([this] {
        port::SetCurrentThreadName("ReconnectPool");
        Run();
    });
}

TReconnectPool::~TReconnectPool() {
    {
        TLock lock(FListLock);
        FEnding = true;
        FList.clear();
    }
    FChanged.NotifyAll();
    FThread.join();
}

void TReconnectPool::Add(TSocketClient* client) {
    {
        TLock lock(FListLock);
        if (FEnding || std::find(FList.begin(), FList.end(), client) != FList.end()) {
            return;
        }
        FList.push_back(client);
    }
    FChanged.NotifyAll();
}

void TReconnectPool::Remove(TSocketClient* client) {
    TLock lock(FListLock);
    FList.erase(std::remove(FList.begin(), FList.end(), client), FList.end());
    if (std::this_thread::get_id() != FThread.get_id()) {
        FChanged.Wait(lock, [&]() REQUIRES(FListLock) { return FCurrent != client; });
    }
}

int TReconnectPool::Count() {
    TLock lock(FListLock);
    return static_cast<int>(FList.size());
}

void TReconnectPool::Run() {
    TLock lock(FListLock);
    while (!FEnding) {
        if (FList.empty()) {
            FChanged.Wait(lock);
            continue;
        }
        const uint32_t now = port::GetTickCount();
        uint32_t wait = UINT32_MAX;
        for (TSocketClient* client : FList) {
            wait = std::min(wait, Distance(client->FReconnectDue.load(), now));
        }
        FChanged.WaitFor(lock, std::chrono::milliseconds(wait + 1));
        // Hand out every due reconnect, one at a time and without the list lock, so that the
        // owner may connect (and be listed again) from its handler.
        for (;;) {
            if (FEnding) {
                return;
            }
            const uint32_t tick = port::GetTickCount();
            auto due = std::find_if(FList.begin(), FList.end(), [tick](TSocketClient* client) {
                return Distance(client->FReconnectDue.load(), tick) >
                       client->FReconnectDelay.load();
            });
            if (due == FList.end()) {
                break;
            }
            TSocketClient* client = *due;
            FList.erase(due);
            FCurrent = client;
            client->FWaitingForReconnect.store(false);
            lock.Unlock();
            try {
                client->DoReconnect();
            } catch (...) {
                LogCaughtException("the reconnect of a socket client");
            }
            lock.Lock();
            FCurrent = nullptr;
            FChanged.NotifyAll();
        }
    }
}
