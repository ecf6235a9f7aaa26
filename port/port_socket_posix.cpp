#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iterator>

#include "port/port.h"

namespace port {

namespace {

// The system's form of the address and port; returns its length.
socklen_t MakeAddress(const NetworkAddress& address, uint16_t port, sockaddr_storage& out) {
    out = sockaddr_storage{};
    if (!address.IPv6) {
        auto* in = reinterpret_cast<sockaddr_in*>(&out);
        in->sin_family = AF_INET;
        std::memcpy(&in->sin_addr, address.Bytes, 4);
        in->sin_port = htons(port);
        return sizeof(sockaddr_in);
    }
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&out);
    in6->sin6_family = AF_INET6;
    std::memcpy(&in6->sin6_addr, address.Bytes, 16);
    in6->sin6_scope_id = address.ScopeId;
    in6->sin6_port = htons(port);
    return sizeof(sockaddr_in6);
}

// The local or the remote end of a socket; all zero (no family) when it cannot be read.
sockaddr_storage EndOf(int fd, bool remote) {
    sockaddr_storage end{};
    socklen_t length = sizeof end;
    const int result = remote ? getpeername(fd, reinterpret_cast<sockaddr*>(&end), &length)
                              : getsockname(fd, reinterpret_cast<sockaddr*>(&end), &length);
    return result == 0 ? end : sockaddr_storage{};
}

NetworkAddress FromSystem(const sockaddr_storage& end) {
    NetworkAddress address;
    if (end.ss_family == AF_INET) {
        std::memcpy(address.Bytes, &reinterpret_cast<const sockaddr_in*>(&end)->sin_addr, 4);
    } else if (end.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&end);
        address.IPv6 = true;
        std::memcpy(address.Bytes, &in6->sin6_addr, 16);
        address.ScopeId = in6->sin6_scope_id;
    }
    return address;
}

uint32_t IPv4Of(const sockaddr_storage& end) {
    return end.ss_family == AF_INET
               ? ntohl(reinterpret_cast<const sockaddr_in*>(&end)->sin_addr.s_addr)
               : 0;
}

uint16_t PortOf(const sockaddr_storage& end) {
    if (end.ss_family == AF_INET) {
        return ntohs(reinterpret_cast<const sockaddr_in*>(&end)->sin_port);
    }
    if (end.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&end)->sin6_port);
    }
    return 0;
}

// The first address of the family the name has; false with the resolver's text otherwise.
bool ResolveName(const std::string& host, int family, NetworkAddress& address, std::string& error) {
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int result = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (result != 0 || !found) {
        error = result == EAI_SYSTEM ? ErrorText(errno) : gai_strerror(result);
        return false;
    }
    sockaddr_storage end{};
    std::memcpy(&end, found->ai_addr, std::min<size_t>(found->ai_addrlen, sizeof end));
    freeaddrinfo(found);
    address = FromSystem(end);
    return true;
}

// An IPv6 literal, bare or in brackets, with an optional "%interface".
bool ParseIPv6(const std::string& host, NetworkAddress& address, std::string& error) {
    std::string text = host;
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {
        text = text.substr(1, text.size() - 2);
    }
    const size_t percent = text.find('%');
    in6_addr in6{};
    if (inet_pton(AF_INET6, text.substr(0, percent).c_str(), &in6) != 1) {
        return false;
    }
    address = NetworkAddress{};
    address.IPv6 = true;
    std::memcpy(address.Bytes, &in6, 16);
    if (percent != std::string::npos) {
        const std::string zone = text.substr(percent + 1);
        address.ScopeId = if_nametoindex(zone.c_str());
        if (address.ScopeId == 0) {
            error = "no network interface \"" + zone + "\"";
            return false;
        }
    }
    return true;
}

// The file send knows no "no signal" flag: a peer gone in the middle of a file would raise
// SIGPIPE and end the process. The signal is blocked in the calling thread while this guard
// lives, and one raised meanwhile is taken back before it is unblocked.
class PipeSignalGuard {
  public:
    PipeSignalGuard() {
        sigemptyset(&FPipeOnly);
        sigaddset(&FPipeOnly, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        FPendingBefore = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &FPipeOnly, &FPrevious);
    }
    ~PipeSignalGuard() {
        const int error = errno;
        sigset_t pending;
        sigpending(&pending);
        if (!FPendingBefore && sigismember(&pending, SIGPIPE) == 1) {
            const timespec now{};
            while (sigtimedwait(&FPipeOnly, nullptr, &now) < 0 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &FPrevious, nullptr);
        errno = error;
    }
    PipeSignalGuard(const PipeSignalGuard&) = delete;
    PipeSignalGuard& operator=(const PipeSignalGuard&) = delete;

  private:
    sigset_t FPipeOnly;
    sigset_t FPrevious;
    bool FPendingBefore = false;
};

// The pipe size asked for first, and the largest the system grants unprivileged users unless
// configured otherwise.
constexpr int PipeSizeWanted = 4 << 20;
constexpr int PipeSizeUnprivileged = 1 << 20;
// The copy through this process moves at most this much per call.
constexpr int64_t CopyBufferSize = 1 << 20;

bool WriteAllTo(int fd, const char* bytes, size_t size) {
    while (size > 0) {
        const ssize_t written = write(fd, bytes, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            if (written == 0) {
                errno = EIO;
            }
            return false;
        }
        bytes += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

}  // namespace

bool ResolveIPv4(const std::string& host, uint32_t& address) {
    in_addr in{};
    if (inet_pton(AF_INET, host.c_str(), &in) == 1) {
        address = ntohl(in.s_addr);
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (host.empty() || getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) {
        return false;
    }
    address = ntohl(reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
    freeaddrinfo(found);
    return true;
}

std::string IPv4ToString(uint32_t address) {
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
           std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

int WaitDescriptor(int descriptor, bool forWrite, int milliseconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              end - std::chrono::steady_clock::now())
                              .count();
        pollfd entry{descriptor, static_cast<short>(forWrite ? POLLOUT : POLLIN), 0};
        const int ready = poll(&entry, 1, left > 0 ? static_cast<int>(left) : 0);
        if (ready >= 0) {
            return ready > 0 ? 1 : 0;
        }
        if (errno != EINTR) {
            return -1;
        }
    }
}

NetworkAddress IPv4Address(uint32_t address) {
    NetworkAddress result;
    const uint32_t network = htonl(address);
    std::memcpy(result.Bytes, &network, 4);
    return result;
}

bool ResolveAddress(const std::string& host, NetworkAddress& address, std::string& error) {
    error.clear();
    if (host.empty()) {
        error = "no address given";
        return false;
    }
    in_addr in{};
    if (inet_pton(AF_INET, host.c_str(), &in) == 1) {
        address = IPv4Address(ntohl(in.s_addr));
        return true;
    }
    if (ParseIPv6(host, address, error)) {
        return true;
    }
    if (!error.empty()) {
        return false;
    }
    // Names are tried for IPv4 first, as connections always went, then for IPv6.
    return ResolveName(host, AF_INET, address, error) ||
           ResolveName(host, AF_INET6, address, error);
}

std::string AddressToString(const NetworkAddress& address) {
    if (!address.IPv6) {
        uint32_t network = 0;
        std::memcpy(&network, address.Bytes, 4);
        return IPv4ToString(ntohl(network));
    }
    in6_addr in6{};
    std::memcpy(&in6, address.Bytes, 16);
    if (IN6_IS_ADDR_V4MAPPED(&in6)) {
        uint32_t network = 0;
        std::memcpy(&network, address.Bytes + 12, 4);
        return IPv4ToString(ntohl(network));
    }
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, &in6, text, sizeof text);
    std::string result = text;
    char name[IF_NAMESIZE] = {};
    if (address.ScopeId != 0) {
        result += "%" + (if_indextoname(address.ScopeId, name) ? std::string(name)
                                                               : std::to_string(address.ScopeId));
    }
    return result;
}

Socket::~Socket() {
    Close();
}

void Socket::ApplyOptions(bool noDelay, int bufferSize) {
    const int fd = FFd.load();
    if (noDelay) {
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    if (bufferSize > 8192) {
        const int size = std::max(bufferSize, 65536);
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
}

bool Socket::Open(bool noDelay, int bufferSize, bool ipv6) {
    Close();
    const int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        FLastError.store(errno);
        return false;
    }
    FFd.store(fd);
    ApplyOptions(noDelay, bufferSize);
    return true;
}

bool Socket::Bind(uint16_t port) {
    return Bind(IPv4Address(INADDR_ANY), port);
}

bool Socket::Bind(const NetworkAddress& address, uint16_t port) {
    const int on = 1;
    // Lets a restarted server take its port back while old connections linger in TIME_WAIT;
    // a port another socket listens on still refuses the bind.
    setsockopt(FFd.load(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_storage end{};
    const socklen_t length = MakeAddress(address, port, end);
    if (bind(FFd.load(), reinterpret_cast<const sockaddr*>(&end), length) != 0) {
        FLastError.store(errno);
        return false;
    }
    return true;
}

bool Socket::Listen(int backlog) {
    if (listen(FFd.load(), backlog) != 0) {
        FLastError.store(errno);
        return false;
    }
    return true;
}

bool Socket::Connect(uint32_t address, uint16_t port) {
    return Connect(IPv4Address(address), port, 0);
}

bool Socket::Connect(const NetworkAddress& address, uint16_t port, int timeoutMs) {
    const int fd = FFd.load();
    sockaddr_storage end{};
    const socklen_t length = MakeAddress(address, port, end);
    // Connected without blocking, so that the wait below has a deadline.
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        FLastError.store(errno);
        return false;
    }
    bool connected = connect(fd, reinterpret_cast<const sockaddr*>(&end), length) == 0;
    if (!connected && (errno == EINPROGRESS || errno == EINTR)) {
        connected = AwaitConnect(timeoutMs);
    } else if (!connected) {
        FLastError.store(errno);
    }
    fcntl(fd, F_SETFL, flags);
    errno = connected ? 0 : FLastError.load();
    return connected;
}

bool Socket::AwaitConnect(int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const int fd = FFd.load();
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int wait = -1;
        if (timeoutMs > 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            if (left <= 0) {
                FLastError.store(ETIMEDOUT);
                return false;
            }
            wait = static_cast<int>(left);
        }
        pollfd p{};
        p.fd = fd;
        p.events = POLLOUT;
        const int result = poll(&p, 1, wait);
        if (result < 0 && errno != EINTR) {
            FLastError.store(errno);
            return false;
        }
        if (result <= 0) {
            continue;  // interrupted, or the time is up, which the check above finds
        }
        int error = 0;
        socklen_t size = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
            error = errno;
        }
        // A connect cut short by a shut-down may leave no error behind: only a peer counts.
        if (error == 0 && EndOf(fd, true).ss_family == 0) {
            error = ECONNABORTED;
        }
        if (error != 0) {
            FLastError.store(error);
            return false;
        }
        return true;
    }
}

std::unique_ptr<Socket> Socket::Accept(bool noDelay, int bufferSize) {
    int fd;
    do {
        fd = accept4(FFd.load(), nullptr, nullptr, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        FLastError.store(errno);
        return nullptr;
    }
    auto accepted = std::make_unique<Socket>();
    accepted->FFd.store(fd);
    accepted->ApplyOptions(noDelay, bufferSize);
    return accepted;
}

int64_t Socket::Receive(void* buffer, size_t size) {
    ssize_t got;
    do {
        got = recv(FFd.load(), buffer, size, 0);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        FLastError.store(errno);
        return -1;
    }
    return got;
}

int64_t Socket::Send(const void* buffer, size_t size) {
    const char* bytes = static_cast<const char*>(buffer);
    size_t sent = 0;
    while (sent < size) {
        const ssize_t n = send(FFd.load(), bytes + sent, size - sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            FLastError.store(errno);
            break;
        }
        if (n == 0) {
            FLastError.store(ECONNRESET);
            break;
        }
        sent += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(sent);
}

int64_t Socket::SendAvailable(const SendPiece* pieces, size_t count) {
    iovec vector[64];
    msghdr message{};
    message.msg_iov = vector;
    message.msg_iovlen = std::min<size_t>(count, std::size(vector));
    for (size_t i = 0; i < message.msg_iovlen; ++i) {
        vector[i].iov_base = const_cast<void*>(pieces[i].data);
        vector[i].iov_len = pieces[i].size;
    }
    for (;;) {
        const ssize_t n = sendmsg(FFd.load(), &message, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n >= 0) {
            return n;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return 0;
        }
        FLastError.store(errno);
        return -1;
    }
}

int64_t Socket::SendFile(DataFile& file, int64_t offset, int64_t length) {
    // One call moves at most a little under 2 GiB.
    constexpr int64_t maxCall = int64_t{1} << 30;
    off_t position = static_cast<off_t>(offset);
    int64_t sent = 0;
    const PipeSignalGuard noSignal;
    while (sent < length) {
        const ssize_t n = sendfile(FFd.load(), file.FFd, &position,
                                   static_cast<size_t>(std::min(length - sent, maxCall)));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            FLastError.store(errno);
            break;
        }
        if (n == 0) {
            FLastError.store(ENODATA);
            break;
        }
        sent += n;
    }
    return sent;
}

bool Socket::OpenPipe() {
    if (FPipeRead >= 0) {
        return true;
    }
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        FLastError.store(errno);
        return false;
    }
    FPipeRead = ends[0];
    FPipeWrite = ends[1];
    // A larger pipe moves more per call; the system's limit for unprivileged users may refuse
    // the larger sizes, which only costs calls.
    for (const int size : {PipeSizeWanted, PipeSizeUnprivileged}) {
        if (fcntl(FPipeWrite, F_SETPIPE_SZ, size) >= 0) {
            break;
        }
    }
    const int capacity = fcntl(FPipeWrite, F_GETPIPE_SZ);
    FPipeCapacity = capacity > 0 ? capacity : 65536;
    return true;
}

void Socket::ClosePipe() {
    if (FPipeRead >= 0) {
        close(FPipeRead);
        close(FPipeWrite);
        FPipeRead = -1;
        FPipeWrite = -1;
        FPipeCapacity = 0;
    }
}

bool Socket::DrainPipe(int file, int64_t size) {
    while (size > 0) {
        const ssize_t n = splice(FPipeRead, nullptr, file, nullptr, static_cast<size_t>(size),
                                 SPLICE_F_MOVE | SPLICE_F_MORE);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            FLastError.store(n < 0 ? errno : EIO);
            // Bytes left in the pipe must never reach another file.
            ClosePipe();
            return false;
        }
        size -= n;
    }
    return true;
}

int64_t Socket::ReceiveToFileCopying(int file, int64_t length) {
    if (!FCopyBuffer) {
        FCopyBuffer = std::make_unique<char[]>(CopyBufferSize);
    }
    const size_t size = static_cast<size_t>(std::min<int64_t>(length, CopyBufferSize));
    const int64_t got = Receive(FCopyBuffer.get(), size);
    if (got > 0 && !WriteAllTo(file, FCopyBuffer.get(), static_cast<size_t>(got))) {
        FLastError.store(errno);
        return -1;
    }
    return got;
}

int64_t Socket::ReceiveToFile(DataFile& file, int64_t length) {
    if (length <= 0) {
        return 0;
    }
    if (!OpenPipe()) {
        return -1;
    }
    // Never more than the pipe holds, so the drain below always empties it.
    ssize_t got;
    do {
        got = splice(FFd.load(), nullptr, FPipeWrite, nullptr,
                     static_cast<size_t>(std::min(length, FPipeCapacity)),
                     SPLICE_F_MOVE | SPLICE_F_MORE);
    } while (got < 0 && errno == EINTR);
    if (got < 0 && errno == EINVAL) {
        // A socket or file that cannot be spliced takes the bytes through this process.
        return ReceiveToFileCopying(file.FFd, length);
    }
    if (got < 0) {
        FLastError.store(errno);
        return -1;
    }
    if (got > 0 && !DrainPipe(file.FFd, got)) {
        return -1;
    }
    return got;
}

void Socket::SetReceiveBufferSize(int bytes) {
    setsockopt(FFd.load(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

void Socket::SetSendTimeout(int milliseconds) {
    timeval tv{};
    tv.tv_sec = milliseconds / 1000;
    tv.tv_usec = (milliseconds % 1000) * 1000;
    setsockopt(FFd.load(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

int Socket::WaitReadable(int milliseconds) {
    pollfd p{};
    p.fd = FFd.load();
    p.events = POLLIN;
    if (p.fd < 0) {
        return 2;
    }
    const int result = poll(&p, 1, milliseconds);
    if (result < 0) {
        if (errno == EINTR) {
            return 0;
        }
        FLastError.store(errno);
        return 2;
    }
    if (result == 0) {
        return 0;
    }
    // A hang-up with data still queued reads the data first; the end of stream follows.
    if ((p.revents & POLLIN) != 0 || (p.revents & POLLHUP) != 0) {
        return 1;
    }
    FLastError.store(ECONNRESET);
    return 2;
}

void Socket::Shutdown() {
    const int fd = FFd.load();
    if (fd >= 0) {
        shutdown(fd, SHUT_RDWR);
    }
}

void Socket::ShutdownSend() {
    const int fd = FFd.load();
    if (fd >= 0) {
        shutdown(fd, SHUT_WR);
    }
}

void Socket::Close() {
    ClosePipe();
    const int fd = FFd.exchange(-1);
    if (fd >= 0) {
        shutdown(fd, SHUT_RDWR);
        close(fd);
    }
}

SocketWaker::SocketWaker() : FFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

SocketWaker::~SocketWaker() {
    if (FFd >= 0) {
        close(FFd);
    }
}

void SocketWaker::Wake() {
    const uint64_t one = 1;
    // A full counter still wakes the waiter; nothing else can fail here.
    while (write(FFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void SocketWait::Add(const Socket& socket) {
    FDescriptors.push_back(socket.FFd.load());
}

void SocketWait::Clear() {
    FDescriptors.clear();
    FReady.clear();
}

void SocketWait::Wait(SocketWaker& waker, int milliseconds) {
    std::vector<pollfd> polled(FDescriptors.size() + 1);
    polled[0].fd = waker.FFd;
    polled[0].events = POLLIN;
    for (size_t i = 0; i < FDescriptors.size(); ++i) {
        polled[i + 1].fd = FDescriptors[i];
        polled[i + 1].events = POLLOUT;
    }
    FReady.assign(FDescriptors.size(), 0);
    const int result = poll(polled.data(), polled.size(), milliseconds < 0 ? -1 : milliseconds);
    if (result <= 0) {
        return;
    }
    if (polled[0].revents != 0) {
        uint64_t count = 0;
        while (read(waker.FFd, &count, sizeof count) < 0 && errno == EINTR) {
        }
    }
    for (size_t i = 0; i < FDescriptors.size(); ++i) {
        FReady[i] = polled[i + 1].revents != 0 ? 1 : 0;
    }
}

std::string Socket::LastErrorText() const {
    return ErrorText(FLastError.load());
}

uint32_t Socket::LocalAddress() const {
    return IPv4Of(EndOf(FFd.load(), false));
}

uint16_t Socket::LocalPort() const {
    return PortOf(EndOf(FFd.load(), false));
}

uint32_t Socket::RemoteAddress() const {
    return IPv4Of(EndOf(FFd.load(), true));
}

uint16_t Socket::RemotePort() const {
    return PortOf(EndOf(FFd.load(), true));
}

std::string Socket::RemoteAddressText() const {
    const sockaddr_storage end = EndOf(FFd.load(), true);
    return end.ss_family == 0 ? std::string() : AddressToString(FromSystem(end));
}

}  // namespace port
