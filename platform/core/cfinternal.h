// How this layer represents CoreFoundation objects: one C++ object per
// reference-counted value, with a count of live references per type so that
// hosts and tests can prove that every create or copy was released once.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace cfl {

/// Type ids handed out by the *GetTypeID functions.
enum TypeId : CFTypeID {
    typeString = 7,
    typeData = 20,
    typeArray = 19,
    typeRunLoop = 43,
    typeRunLoopSource = 46,
    typeRunLoopTimer = 47,
    typeMessagePort = 37,
    typeAXUIElement = 64,
    typeBundle = 31,
    typeLimit = 128
};

/// Common head of every object; `immortal` ones (constants) are never counted or freed.
struct Object {
    explicit Object(CFTypeID t, bool immortal = false);
    virtual ~Object();
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    /// What CFCopyDescription says of it.
    virtual std::string describe() const;
    /// Whether it equals `other`, an object of the same type (CFEqual); identity by default.
    virtual bool equals(const Object& other) const { return this == &other; }

    const CFTypeID typeId;
    const bool immortal;
    std::atomic<long> refs{1};
};

/// Live references currently held by callers, for one type (0 = all types).
long liveReferences(CFTypeID type);

const Object* object(CFTypeRef cf);

/// Number of UTF-16 code units that a valid UTF-8 string holds.
CFIndex utf16Length(const std::string& utf8);

}  // namespace cfl

struct __CFString : cfl::Object {
    explicit __CFString(std::string text, bool constant = false)
        : Object(cfl::typeString, constant), utf8(std::move(text)) {}
    std::string describe() const override { return utf8; }
    bool equals(const Object& other) const override { return utf8 == static_cast<const __CFString&>(other).utf8; }
    const std::string utf8;
};

namespace cfl {
/// Leaves new elements uninitialised, so a buffer can grow before bytes are read into it.
template <typename T>
struct UninitAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = UninitAllocator<U>;
    };
    UninitAllocator() = default;
    template <typename U>
    UninitAllocator(const UninitAllocator<U>&) {}
    template <typename U>
    void construct(U* p) {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};
using Bytes = std::vector<UInt8, UninitAllocator<UInt8>>;
}  // namespace cfl

struct __CFData : cfl::Object {
    explicit __CFData(cfl::Bytes b)
        : Object(cfl::typeData), bytes(std::move(b)), ptr(bytes.data()), length(bytes.size()) {}
    explicit __CFData(const std::vector<UInt8>& b)
        : Object(cfl::typeData), bytes(b.begin(), b.end()), ptr(bytes.data()), length(bytes.size()) {}
    /// Bytes that the creator keeps alive for as long as the data lives.
    __CFData(const UInt8* borrowed, size_t size) : Object(cfl::typeData), ptr(borrowed), length(size) {}
    std::string describe() const override;
    bool equals(const Object& other) const override {
        const auto& o = static_cast<const __CFData&>(other);
        return length == o.length && (length == 0 || std::memcmp(ptr, o.ptr, length) == 0);
    }
    /// The bytes when the data owns them; empty when they are borrowed.
    const cfl::Bytes bytes;
    const UInt8* const ptr;
    const size_t length;
};

struct __CFArray : cfl::Object {
    explicit __CFArray(std::vector<CFTypeRef> v);
    ~__CFArray() override;
    std::string describe() const override;
    const std::vector<CFTypeRef> values;
};

struct sockaddr_un;

namespace cfl {
/// The abstract socket address of a port name for this user; returns its length.
unsigned addressFor(const std::string& name, sockaddr_un& addr);
/// The abstract socket address of place `k` (0 to 4) in the queue of port `name`; returns its length.
unsigned slotAddress(const std::string& name, int k, sockaddr_un& addr);

/// A new owned string from UTF-8 that is already valid.
CFStringRef makeString(std::string utf8);
const std::string& text(CFStringRef s);
}  // namespace cfl
