#include "startup.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <thread>
#include <vector>

#include "cfref.h"
#include "dispatcher.h"
#include "memory.h"
#include "protocol.h"

namespace {

/// The registered local ports, held for the life of the process; nothing reads them.
std::vector<CFMessagePortRef> ports;
/// The reader thread, held for the life of the process.
std::thread* reader = nullptr;

/// Descriptors the tool needs beyond one per port: the run loop's own (its wait and
/// its wake-up), one request's (its connection, its queue slot, an out-of-line body),
/// one peer's connection, and the 16 below which the Linux ports turn new peers away
/// to keep them: with one fewer the tool would start and take in no message at all.
constexpr int kDescriptorsToRun = 2 + 3 + 1 + 16;

/// Whether `count` more descriptors can be opened. Asked before the run loop
/// exists: a loop that cannot make its wake-up would sleep through every command.
bool descriptorsFree(int count) {
    std::vector<int> probes;
    for (int i = 0; i < count; ++i) {
        // Not a duplicate of a standard stream: any of them may have been closed by the driver.
        int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd < 0) break;
        probes.push_back(fd);
    }
    for (int fd : probes)
        close(fd);
    return int(probes.size()) == count;
}

/// Each message that comes to one of the tool's ports: reported, and answered with no data.
CFDataRef incoming(CFMessagePortRef local, SInt32 msgid, CFDataRef data, void*) {
    CFStringRef name = local ? CFMessagePortGetName(local) : nullptr;
    emitMessage(name ? stringFromCF(name) : std::string(), int32_t(msgid), data ? CFDataGetBytePtr(data) : nullptr,
                data ? size_t(CFDataGetLength(data)) : 0);
    return nullptr;
}

}  // namespace

int startUp(int argc, char** argv) {
    output = 1;
    // A closed pipe must end the tool through its own exit path, not a signal.
    std::signal(SIGPIPE, SIG_IGN);
    // SIGTERM is how drivers' process libraries end a child, so it ends the tool even when
    // the driver itself ignores it. SIGINT and SIGHUP stay as inherited: ignored, they are
    // a shell's background job or nohup saying the terminal must not end the tool.
    std::signal(SIGTERM, SIG_DFL);
    tuneMemory();

    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        repairUtf8(argument);
        arguments.push_back(std::move(argument));
    }
    if (arguments.size() < 2 || arguments[0] != "listen") fail("usage: vornex-port listen <port name>...", statusUsage);
    if (!descriptorsFree(int(arguments.size()) - 1 + kDescriptorsToRun))
        fail("too few file descriptors to run: raise the limit (ulimit -n)", statusOutOfDescriptors);

    for (size_t i = 1; i < arguments.size(); ++i) {
        CFOwned<CFStringRef> name(stringToCF(arguments[i]));
        CFMessagePortContext context = {0, nullptr, nullptr, nullptr, nullptr};
        Boolean shouldFreeInfo = false;
        CFMessagePortRef port =
            name.get() ? CFMessagePortCreateLocal(kCFAllocatorDefault, name.get(), incoming, &context, &shouldFreeInfo)
                       : nullptr;
        if (!port) fail("could not register " + arguments[i] + "; the name is taken", statusCannotRegister);
        CFOwned<CFRunLoopSourceRef> source(CFMessagePortCreateRunLoopSource(kCFAllocatorDefault, port, 0));
        CFRunLoopAddSource(CFRunLoopGetMain(), source.get(), kCFRunLoopDefaultMode);
        ports.push_back(port);
    }

    emitReady(std::vector<std::string>(arguments.begin() + 1, arguments.end()));
    watchOutput();
    reader = new std::thread(readerBody);
    CFRunLoopRun();
    return 0;
}
