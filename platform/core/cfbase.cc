// Reference counting, strings, data and arrays.
#include "cfinternal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "simdjson_utf8.h"

namespace cfl {
namespace {
std::atomic<long> gLive[typeLimit];

void count(CFTypeID type, long delta) {
    gLive[type < typeLimit ? type : 0].fetch_add(delta, std::memory_order_relaxed);
}
}  // namespace

Object::Object(CFTypeID t, bool immortalObject) : typeId(t), immortal(immortalObject) {
    if (!immortal) count(typeId, 1);
}

Object::~Object() = default;

std::string Object::describe() const {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "<CFType %p [type %lu]>", static_cast<const void*>(this), typeId);
    return buffer;
}

long liveReferences(CFTypeID type) {
    if (type != 0) return type < typeLimit ? gLive[type].load() : 0;
    long sum = 0;
    for (auto& n : gLive)
        sum += n.load();
    return sum;
}

const Object* object(CFTypeRef cf) { return static_cast<const Object*>(cf); }

CFIndex utf16Length(const std::string& utf8) {
    CFIndex n = 0;
    for (unsigned char c : utf8) {
        if ((c & 0xC0) != 0x80) n += c >= 0xF0 ? 2 : 1;
    }
    return n;
}

CFStringRef makeString(std::string utf8) { return new __CFString(std::move(utf8)); }

const std::string& text(CFStringRef s) { return s->utf8; }

}  // namespace cfl

__CFArray::__CFArray(std::vector<CFTypeRef> v) : Object(cfl::typeArray), values(std::move(v)) {
    for (CFTypeRef value : values)
        CFRetain(value);
}

__CFArray::~__CFArray() {
    for (CFTypeRef value : values)
        CFRelease(value);
}

std::string __CFArray::describe() const {
    std::string out = "(";
    for (size_t i = 0; i < values.size(); ++i) {
        out += i == 0 ? "\n    " : ",\n    ";
        out += cfl::object(values[i])->describe();
    }
    return out + "\n)";
}

std::string __CFData::describe() const {
    std::string out = "<";
    char hex[3];
    for (size_t i = 0; i < length; ++i) {
        if (i > 0 && i % 4 == 0) out += ' ';
        std::snprintf(hex, sizeof hex, "%02x", ptr[i]);
        out += hex;
    }
    return out + ">";
}

extern "C" {

const CFAllocatorRef kCFAllocatorDefault = nullptr;
/// An allocator that allocates nothing and frees nothing: only its address means anything.
static const char gNullAllocator = 0;
const CFAllocatorRef kCFAllocatorNull = reinterpret_cast<CFAllocatorRef>(&gNullAllocator);
const CFArrayCallBacks kCFTypeArrayCallBacks = {0, nullptr, nullptr, nullptr, nullptr};

CFTypeRef CFRetain(CFTypeRef cf) {
    auto* o = const_cast<cfl::Object*>(cfl::object(cf));
    if (!o->immortal) {
        o->refs.fetch_add(1, std::memory_order_relaxed);
        cfl::count(o->typeId, 1);
    }
    return cf;
}

void CFRelease(CFTypeRef cf) {
    auto* o = const_cast<cfl::Object*>(cfl::object(cf));
    if (o->immortal) return;
    cfl::count(o->typeId, -1);
    if (o->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete o;
}

CFTypeID CFGetTypeID(CFTypeRef cf) { return cfl::object(cf)->typeId; }

CFIndex CFGetRetainCount(CFTypeRef cf) { return cfl::object(cf)->refs.load(); }

Boolean CFEqual(CFTypeRef cf1, CFTypeRef cf2) {
    if (cf1 == cf2) return true;
    auto* a = cfl::object(cf1);
    auto* b = cfl::object(cf2);
    return a->typeId == b->typeId && a->equals(*b);
}

CFStringRef CFCopyDescription(CFTypeRef cf) { return cf ? cfl::makeString(cfl::object(cf)->describe()) : nullptr; }

CFTypeID CFStringGetTypeID(void) { return cfl::typeString; }

CFStringRef CFStringCreateWithCString(CFAllocatorRef, const char* cStr, CFStringEncoding encoding) {
    return CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(cStr), CFIndex(std::strlen(cStr)), encoding,
                                   false);
}

CFStringRef CFStringCreateWithBytes(CFAllocatorRef, const UInt8* bytes, CFIndex numBytes, CFStringEncoding encoding,
                                    Boolean) {
    if (encoding != kCFStringEncodingUTF8 || numBytes < 0) return nullptr;
    const char* p = reinterpret_cast<const char*>(bytes);
    std::string s(p, size_t(numBytes));
    // As on macOS, bytes that are not UTF-8 make no string.
    if (!utf8Checker().validate_utf8(p, size_t(numBytes))) return nullptr;
    return cfl::makeString(std::move(s));
}

CFIndex CFStringGetLength(CFStringRef theString) { return cfl::utf16Length(cfl::text(theString)); }

CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding) {
    return encoding == kCFStringEncodingUTF8 ? length * 3 : -1;
}

Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize, CFStringEncoding encoding) {
    const std::string& s = cfl::text(theString);
    if (encoding != kCFStringEncodingUTF8 || bufferSize < 0 || s.size() + 1 > size_t(bufferSize)) return false;
    std::memcpy(buffer, s.c_str(), s.size() + 1);
    return true;
}

const char* CFStringGetCStringPtr(CFStringRef theString, CFStringEncoding encoding) {
    return encoding == kCFStringEncodingUTF8 ? cfl::text(theString).c_str() : nullptr;
}

CFComparisonResult CFStringCompare(CFStringRef theString1, CFStringRef theString2, CFOptionFlags) {
    // UTF-8 byte order equals code point order, which differs from UTF-16 unit
    // order only above U+FFFF; equality, the case that callers use, is exact.
    int c = cfl::text(theString1).compare(cfl::text(theString2));
    return c < 0 ? kCFCompareLessThan : c > 0 ? kCFCompareGreaterThan : kCFCompareEqualTo;
}

CFStringRef __CFStringMakeConstantString(const char* cStr) {
    static std::mutex lock;
    static auto* interned = new std::map<std::string, std::unique_ptr<__CFString>>;
    std::lock_guard<std::mutex> hold(lock);
    auto& slot = (*interned)[cStr];
    if (!slot) slot = std::make_unique<__CFString>(cStr, true);
    return slot.get();
}

CFTypeID CFDataGetTypeID(void) { return cfl::typeData; }

CFDataRef CFDataCreate(CFAllocatorRef, const UInt8* bytes, CFIndex length) {
    if (length < 0) return nullptr;
    return new __CFData(cfl::Bytes(bytes, bytes + length));
}

CFDataRef CFDataCreateWithBytesNoCopy(CFAllocatorRef, const UInt8* bytes, CFIndex length,
                                      CFAllocatorRef bytesDeallocator) {
    if (length < 0 || (length > 0 && !bytes)) return nullptr;
    if (bytesDeallocator == kCFAllocatorNull) return new __CFData(bytes, size_t(length));
    // Any other deallocator is the default one, malloc's: the bytes are the data's from now on.
    CFDataRef data = new __CFData(cfl::Bytes(bytes, bytes + length));
    std::free(const_cast<UInt8*>(bytes));
    return data;
}

CFIndex CFDataGetLength(CFDataRef theData) { return CFIndex(theData->length); }

const UInt8* CFDataGetBytePtr(CFDataRef theData) { return theData->ptr; }

CFTypeID CFArrayGetTypeID(void) { return cfl::typeArray; }

CFArrayRef CFArrayCreate(CFAllocatorRef, const void** values, CFIndex numValues, const CFArrayCallBacks*) {
    return new __CFArray(std::vector<CFTypeRef>(values, values + numValues));
}

CFIndex CFArrayGetCount(CFArrayRef theArray) { return CFIndex(theArray->values.size()); }

const void* CFArrayGetValueAtIndex(CFArrayRef theArray, CFIndex idx) { return theArray->values.at(size_t(idx)); }

}  // extern "C"
