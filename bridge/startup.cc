#include "startup.h"

#include <fcntl.h>
#include <pthread.h>
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
/// The reader thread, detached: it ends at the end of input or with the process, and
/// nothing waits for it.
std::thread::id reader;

/// Descriptors the tool needs free at start-up beyond one per port: the run loop's own
/// (its wait and its wake-up), one peer's connection, and the 16 that the Linux ports
/// keep for the tool's own look-ups and sends (a request takes three of them: its
/// connection, its queue slot, an out-of-line body), below which they turn new peers
/// away. With one fewer the tool would start and take in no message at all. The spare
/// descriptor that the layer holds to turn a peer away when none is left is already open
/// when this is asked: it is among those in use, not among these.
constexpr int kDescriptorsToRun = 2 + 1 + 16;

/// Signals by which a driver or a terminal ends the tool from outside. A mask is
/// inherited through exec, so a driver that spawns from a thread blocking them (one
/// that takes its own signals with sigwait or a signalfd) would leave them pending for
/// ever: blocked only defers a signal, and nothing here would take it later.
constexpr int kEndingSignals[] = {SIGTERM, SIGINT, SIGHUP};

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
    // the driver itself ignores it. SIGINT and SIGHUP keep an inherited SIG_IGN: that is a
    // shell's background job or nohup saying the terminal must not end the tool. Blocked,
    // all three are let through: before any thread starts, so that every thread has them.
    std::signal(SIGTERM, SIG_DFL);
    sigset_t ending;
    sigemptyset(&ending);
    for (int which : kEndingSignals)
        sigaddset(&ending, which);
    pthread_sigmask(SIG_UNBLOCK, &ending, nullptr);
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
    std::thread thread(readerBody);
    reader = thread.get_id();
    thread.detach();
    CFRunLoopRun();
    return 0;
}
