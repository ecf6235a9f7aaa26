#include <arpa/inet.h>
#include <fcntl.h>
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

sockaddr_in MakeAddress(uint32_t address, uint16_t port) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(address);
    in.sin_port = htons(port);
    return in;
}

// The local or the remote end of a socket; all zero when it cannot be read.
sockaddr_in EndOf(int fd, bool remote) {
    sockaddr_in in{};
    socklen_t length = sizeof in;
    const int result = remote ? getpeername(fd, reinterpret_cast<sockaddr*>(&in), &length)
                              : getsockname(fd, reinterpret_cast<sockaddr*>(&in), &length);
    return result == 0 ? in : sockaddr_in{};
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

bool Socket::Open(bool noDelay, int bufferSize) {
    Close();
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        FLastError.store(errno);
        return false;
    }
    FFd.store(fd);
    ApplyOptions(noDelay, bufferSize);
    return true;
}

bool Socket::Bind(uint16_t port) {
    const int on = 1;
    // Lets a restarted server take its port back while old connections linger in TIME_WAIT;
    // a port another socket listens on still refuses the bind.
    setsockopt(FFd.load(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in in = MakeAddress(INADDR_ANY, port);
    if (bind(FFd.load(), reinterpret_cast<const sockaddr*>(&in), sizeof in) != 0) {
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
    const sockaddr_in in = MakeAddress(address, port);
    int result;
    do {
        result = connect(FFd.load(), reinterpret_cast<const sockaddr*>(&in), sizeof in);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        FLastError.store(errno);
        return false;
    }
    return true;
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
    return ntohl(EndOf(FFd.load(), false).sin_addr.s_addr);
}

uint16_t Socket::LocalPort() const {
    return ntohs(EndOf(FFd.load(), false).sin_port);
}

uint32_t Socket::RemoteAddress() const {
    return ntohl(EndOf(FFd.load(), true).sin_addr.s_addr);
}

uint16_t Socket::RemotePort() const {
    return ntohs(EndOf(FFd.load(), true).sin_port);
}

}  // namespace port
