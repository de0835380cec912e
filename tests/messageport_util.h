// Helpers for the message-port tests: ports registered, served and sent to with
// nothing but CoreFoundation's public API, so that the tests that use only them
// run against CoreFoundation itself as well as against the layer.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "leak_check.h"

namespace {

std::string uniqueName(const std::string& what) {
    static int counter = 0;
    return "porttest." + std::to_string(getpid()) + "." + std::to_string(++counter) + "." + what;
}

CFStringRef str(const std::string& s) {
    return CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(s.data()), CFIndex(s.size()),
                                   kCFStringEncodingUTF8, false);
}

std::string bytes(CFDataRef d) {
    return d ? std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(d)), size_t(CFDataGetLength(d))) : "";
}

CFDataRef makeData(const std::string& s) {
    return CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(s.data()), CFIndex(s.size()));
}

struct Received {
    std::vector<SInt32> ids;
    std::vector<std::string> payloads;
    std::string reply;
    bool invalidateOnMessage = false;
    bool echo = false;                       // each reply is its request's bytes
    std::atomic<bool>* heldUntil = nullptr;  // the callout waits for it before anything else
    double nestedRun = 0;  // seconds the callout spends running the loop again, as a send from it would
    int nestedPasses = 0;
};

/// The port's callout: notes the request and hands back a new reply (its caller releases it), as the name tells the
/// analyzer.
CFDataRef recordAndCreateReply(CFMessagePortRef local, SInt32 msgid, CFDataRef d, void* info) {
    auto* r = static_cast<Received*>(info);
    r->ids.push_back(msgid);
    r->payloads.push_back(bytes(d));
    while (r->heldUntil && !*r->heldUntil)
        std::this_thread::yield();
    if (r->invalidateOnMessage) CFMessagePortInvalidate(local);
    if (r->nestedRun > 0) {
        double until = CFAbsoluteTimeGetCurrent() + r->nestedRun;
        while (CFAbsoluteTimeGetCurrent() < until) {
            CFRunLoopRunInMode(kCFRunLoopDefaultMode, until - CFAbsoluteTimeGetCurrent(), true);
            ++r->nestedPasses;
        }
    }
    if (r->echo) return makeData(bytes(d));
    return r->reply.empty() ? nullptr : makeData(r->reply);
}

CFMessagePortRef makeLocal(const std::string& name, Received* r) {
    CFMessagePortContext context = {0, r, nullptr, nullptr, nullptr};
    Boolean shouldFree = true;
    CFStringRef n = str(name);
    CFMessagePortRef port = CFMessagePortCreateLocal(nullptr, n, recordAndCreateReply, &context, &shouldFree);
    CFRelease(n);
    EXPECT_EQ(shouldFree, port == nullptr);
    return port;
}

void schedule(CFMessagePortRef port, CFRunLoopRef rl) {
    CFRunLoopSourceRef source = CFMessagePortCreateRunLoopSource(nullptr, port, 0);
    CFRunLoopAddSource(rl, source, kCFRunLoopDefaultMode);
    CFRelease(source);
}

CFMessagePortRef remote(const std::string& name) {
    CFStringRef n = str(name);
    CFMessagePortRef port = CFMessagePortCreateRemote(nullptr, n);
    CFRelease(n);
    return port;
}

SInt32 sendTo(CFMessagePortRef port, SInt32 msgid, const std::string& payload, double timeout,
              std::string* reply = nullptr) {
    CFDataRef d = makeData(payload);
    CFDataRef answer = nullptr;
    SInt32 status = CFMessagePortSendRequest(port, msgid, d, timeout, timeout, kCFRunLoopDefaultMode, &answer);
    CFRelease(d);
    if (reply) *reply = bytes(answer);
    if (answer) CFRelease(answer);
    return status;
}

/// A local port served by a run loop of its own thread, as a peer process would serve it.
struct ServedPort {
    explicit ServedPort(const std::string& portName) : name(portName) {
        thread = std::thread([this] {
            port = makeLocal(name, &received);
            loop = CFRunLoopGetCurrent();
            schedule(port, loop);
            ready = true;
            CFRunLoopRun();  // also returns by itself once the port is invalidated
            CFMessagePortInvalidate(port);
            CFRelease(port);
            // The loop belongs to this thread and dies with it: outlive the stop below.
            std::unique_lock<std::mutex> hold(lock);
            stopped.wait(hold, [this] { return stopping; });
        });
        while (!ready)
            std::this_thread::yield();
    }
    ~ServedPort() {
        // A stop reaches only a run in progress, and the thread may not have begun its run
        // yet. A block runs only inside a run, so the stop it makes is never lost.
        CFRunLoopPerformBlock(loop, kCFRunLoopDefaultMode, [] { CFRunLoopStop(CFRunLoopGetCurrent()); });
        CFRunLoopWakeUp(loop);
        {
            std::lock_guard<std::mutex> hold(lock);
            stopping = true;
        }
        stopped.notify_one();
        thread.join();
    }
    std::string name;
    Received received;
    CFMessagePortRef port = nullptr;
    CFRunLoopRef loop = nullptr;
    std::atomic<bool> ready{false};
    std::mutex lock;
    std::condition_variable stopped;
    bool stopping = false;
    std::thread thread;
};

class MessagePorts : public LeakChecked {};

}  // namespace
