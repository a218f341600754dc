// The parts of the Security framework that CodeSignature.cpp uses, transcribed from Apple's
// published headers (see ../README.md). Only for the macOS compile check.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#ifdef __cplusplus
extern "C" {
#endif

// <Security/SecBase.h>
enum { errSecSuccess = 0 };

// <Security/CSCommon.h>
enum { errSecCSUnsigned = -67062 };
typedef struct __SecCode const* SecStaticCodeRef;
typedef struct __SecRequirement* SecRequirementRef;
typedef uint32_t SecCSFlags;
enum { kSecCSDefaultFlags = 0 };

// <Security/SecStaticCode.h>
OSStatus SecStaticCodeCreateWithPath(CFURLRef path, SecCSFlags flags, SecStaticCodeRef* staticCode);
OSStatus SecStaticCodeCheckValidity(SecStaticCodeRef staticCode, SecCSFlags flags, SecRequirementRef requirement);

// <Security/SecCode.h>
extern const CFStringRef kSecCodeInfoUnique;
OSStatus SecCodeCopySigningInformation(SecStaticCodeRef code, SecCSFlags flags, CFDictionaryRef* information);

#ifdef __cplusplus
}
#endif
