#include "startup.h"

#include <csignal>

#include "cfref.h"
#include "dispatcher.h"
#include "protocol.h"

int32_t messageId = 0;
int32_t statusNotRegistered = 0;
CFMessagePortCallBack incoming = nullptr;
std::vector<std::string> arguments;
std::vector<CFMessagePortRef> ports;
std::thread* reader = nullptr;

namespace {

CFDataRef incomingMessage(CFMessagePortRef local, SInt32 msgid, CFDataRef data, void*) {
    CFStringRef name = local ? CFMessagePortGetName(local) : nullptr;
    std::string port = name ? stringFromCF(name) : std::string();
    std::string text = data ? base64Encode(CFDataGetBytePtr(data), size_t(CFDataGetLength(data))) : std::string();
    emit({{"event", std::string("message")}, {"port", port}, {"msgid", int32_t(msgid)}, {"data", std::move(text)}});
    return nullptr;
}

}  // namespace

int startUp(int argc, char** argv) {
    messageId = 1;
    statusNotRegistered = -99;
    output = 1;
    incoming = incomingMessage;
    // A closed pipe must end the tool through its own exit path, not a signal.
    std::signal(SIGPIPE, SIG_IGN);

    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        repairUtf8(argument);
        arguments.push_back(std::move(argument));
    }
    if (arguments.size() < 2 || arguments[0] != "listen") fail("usage: vornex-port listen <port name>...", 64);

    for (size_t i = 1; i < arguments.size(); ++i) {
        CFOwned<CFStringRef> name(stringToCF(arguments[i]));
        CFMessagePortContext context = {0, nullptr, nullptr, nullptr, nullptr};
        Boolean shouldFreeInfo = false;
        CFMessagePortRef port =
            name.get() ? CFMessagePortCreateLocal(kCFAllocatorDefault, name.get(), incoming, &context, &shouldFreeInfo)
                       : nullptr;
        if (!port) fail("could not register " + arguments[i] + "; the name is taken", 65);
        CFOwned<CFRunLoopSourceRef> source(CFMessagePortCreateRunLoopSource(kCFAllocatorDefault, port, 0));
        CFRunLoopAddSource(CFRunLoopGetMain(), source.get(), kCFRunLoopDefaultMode);
        ports.push_back(port);
    }

    emit(
        {{"event", std::string("ready")}, {"ports", std::vector<std::string>(arguments.begin() + 1, arguments.end())}});
    watchOutput();
    reader = new std::thread(readerBody);
    CFRunLoopRun();
    return 0;
}
