#include "AgentMCP/CodeSignature.hpp"

#if defined(__APPLE__)
#include <CoreFoundation/CoreFoundation.h>
#include <Security/Security.h>
#endif

namespace AgentMCP::CodeSignature {

#if defined(__APPLE__)

namespace {

// A static code object for the file at `path`, or nullptr; the caller releases it.
SecStaticCodeRef staticCode(const std::string& path) {
    CFURLRef url = CFURLCreateFromFileSystemRepresentation(
        kCFAllocatorDefault, reinterpret_cast<const UInt8*>(path.data()), static_cast<CFIndex>(path.size()), false);
    if (url == nullptr) return nullptr;
    SecStaticCodeRef code = nullptr;
    OSStatus status = SecStaticCodeCreateWithPath(url, kSecCSDefaultFlags, &code);
    CFRelease(url);
    if (status != errSecSuccess) {
        if (code != nullptr) CFRelease(code);
        return nullptr;
    }
    return code;
}

}  // namespace

std::optional<std::string> codeDirectoryHash(const std::string& path) {
    SecStaticCodeRef code = staticCode(path);
    if (code == nullptr) return std::nullopt;
    CFDictionaryRef info = nullptr;
    OSStatus status = SecCodeCopySigningInformation(code, kSecCSDefaultFlags, &info);
    CFRelease(code);
    if (status != errSecSuccess || info == nullptr) return std::nullopt;
    std::optional<std::string> hash;
    if (CFGetTypeID(info) == CFDictionaryGetTypeID()) {
        CFTypeRef unique = CFDictionaryGetValue(info, kSecCodeInfoUnique);
        if (unique != nullptr && CFGetTypeID(unique) == CFDataGetTypeID()) {
            auto data = static_cast<CFDataRef>(unique);
            CFIndex length = CFDataGetLength(data);
            const UInt8* bytes = CFDataGetBytePtr(data);
            if (length > 0 && bytes != nullptr) {
                static constexpr char digits[] = "0123456789abcdef";
                std::string hex = "cdhash:";
                for (CFIndex i = 0; i < length; ++i) {
                    hex += digits[bytes[i] >> 4];
                    hex += digits[bytes[i] & 0xF];
                }
                hash = std::move(hex);
            }
        }
    }
    CFRelease(info);
    return hash;
}

Validity check(const std::string& path) {
    SecStaticCodeRef code = staticCode(path);
    if (code == nullptr) return Validity::invalid;
    OSStatus status = SecStaticCodeCheckValidity(code, kSecCSDefaultFlags, nullptr);
    CFRelease(code);
    if (status == errSecCSUnsigned) return Validity::notSigned;
    return status == errSecSuccess ? Validity::valid : Validity::invalid;
}

#else

std::optional<std::string> codeDirectoryHash(const std::string&) { return std::nullopt; }

Validity check(const std::string&) { return Validity::notSigned; }

#endif

}  // namespace AgentMCP::CodeSignature
