// A peer that sends requests to a named port as fast as the replies come back,
// through the message-port layer, and prints the elapsed seconds.
// Usage: relay_peer <port name> <requests> <payload bytes>
#include <CoreFoundation/CoreFoundation.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: relay_peer <port name> <requests> <payload bytes>\n");
        return 2;
    }
    long count = std::atol(argv[2]);
    std::vector<UInt8> bytes(size_t(std::atol(argv[3])), 'x');
    CFStringRef name = CFStringCreateWithCString(kCFAllocatorDefault, argv[1], kCFStringEncodingUTF8);
    CFMessagePortRef remote = CFMessagePortCreateRemote(kCFAllocatorDefault, name);
    if (!remote) {
        std::fprintf(stderr, "relay_peer: no port %s\n", argv[1]);
        return 1;
    }
    CFDataRef data = CFDataCreate(kCFAllocatorDefault, bytes.data(), CFIndex(bytes.size()));
    auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < count; ++i) {
        CFDataRef reply = nullptr;
        SInt32 status = CFMessagePortSendRequest(remote, 7, data, 5.0, 5.0, kCFRunLoopDefaultMode, &reply);
        if (reply) CFRelease(reply);
        if (status != kCFMessagePortSuccess) {
            std::fprintf(stderr, "relay_peer: request %ld gave status %d\n", i, int(status));
            return 1;
        }
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%.6f\n", seconds);
    CFRelease(data);
    CFRelease(remote);
    CFRelease(name);
    return 0;
}
