// Moves 1 GB over loopback TCP and prints the medians of several rounds, for two ways of doing it in
// the same run:
// - the asynchronous socket: one GCDAsyncSocket writes 64 KiB packets (each completion queues the
//   next), the accepted GCDAsyncSocket reads with all-available reads (each completion queues the
//   next);
// - plain blocking sockets: one thread writes 64 KiB at a time, another reads 64 KiB at a time.
// Both ends live in this process, so the CPU time (user + system of the process) covers both. With
// the argument "plain" or "async" it makes one transfer of that kind and prints nothing.
#include "SocketTransferPump.h"
#include "WorkTimes.h"
#include "push/CocoaAsyncSocket/GCDAsyncSocket.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/DispatchSemaphore.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string_view>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace platform;

namespace {

constexpr std::size_t kTotal = 1024UL * 1024 * 1024;
constexpr std::size_t kChunk = 64 * 1024;
constexpr int kRounds = 5;

using benchtimes::Figures;
using benchtimes::measure;

void asyncSocketTransfer()
{
    SocketTransferPump(kTotal).run();
}

void plainSocketTransfer()
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listener, reinterpret_cast<sockaddr *>(&address), length);
    ::listen(listener, 1);
    ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
    std::thread writer([&] {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        ::connect(fd, reinterpret_cast<sockaddr *>(&address), length);
        static const std::vector<char> chunk(kChunk, 'p');
        for (std::size_t written = 0; written < kTotal;) {
            const ssize_t count = ::write(fd, chunk.data(), chunk.size());
            if (count <= 0)
                break;
            written += std::size_t(count);
        }
        ::close(fd);
    });
    const int reader = ::accept(listener, nullptr, nullptr);
    std::vector<char> buffer(kChunk);
    for (std::size_t read = 0; read < kTotal;) {
        const ssize_t count = ::read(reader, buffer.data(), buffer.size());
        if (count <= 0)
            break;
        read += std::size_t(count);
    }
    writer.join();
    ::close(reader);
    ::close(listener);
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    // One transfer of one kind, for timing the whole process from outside (farm-bench --vs).
    if (argc == 2 && std::string_view(argv[1]) == "plain") {
        plainSocketTransfer();
        return 0;
    }
    if (argc == 2 && std::string_view(argv[1]) == "async") {
        asyncSocketTransfer();
        return 0;
    }
    std::vector<double> asyncSeconds;
    std::vector<double> asyncCpu;
    std::vector<double> plainSeconds;
    std::vector<double> plainCpu;
    // Rounds alternate, so that a change in the machine's load touches both alike.
    for (int round = 0; round < kRounds; ++round) {
        const Figures plain = measure(plainSocketTransfer);
        const Figures async = measure(asyncSocketTransfer);
        plainSeconds.push_back(plain.seconds);
        plainCpu.push_back(plain.cpuSeconds);
        asyncSeconds.push_back(async.seconds);
        asyncCpu.push_back(async.cpuSeconds);
    }
    const double gigabytes = double(kTotal) / 1e9;
    std::printf("1 GB over loopback, 64 KiB writes, median of %d rounds\n", kRounds);
    std::printf("plain blocking sockets: %.3f s (%.0f MB/s), CPU %.3f s\n", median(plainSeconds),
                gigabytes * 1000 / median(plainSeconds), median(plainCpu));
    std::printf("GCDAsyncSocket:         %.3f s (%.0f MB/s), CPU %.3f s\n", median(asyncSeconds),
                gigabytes * 1000 / median(asyncSeconds), median(asyncCpu));
    std::printf("throughput ratio %.2f (at least 0.70), CPU ratio %.2f (at most 1.50)\n",
                median(plainSeconds) / median(asyncSeconds), median(asyncCpu) / median(plainCpu));
    return 0;
}
