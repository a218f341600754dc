// The parts of CoreFoundation that CodeSignature.cpp uses, transcribed from Apple's published
// headers (see ../README.md). Only for the macOS compile check.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// <MacTypes.h>
typedef unsigned char UInt8;
typedef unsigned char Boolean;
typedef int32_t SInt32;
typedef SInt32 OSStatus;

// <CoreFoundation/CFBase.h>
typedef unsigned long CFTypeID;
typedef signed long CFIndex;
typedef const void* CFTypeRef;
typedef const struct __CFString* CFStringRef;
typedef const struct __CFAllocator* CFAllocatorRef;
extern const CFAllocatorRef kCFAllocatorDefault;
CFTypeID CFGetTypeID(CFTypeRef cf);
void CFRelease(CFTypeRef cf);

// <CoreFoundation/CFData.h>
typedef const struct __CFData* CFDataRef;
CFTypeID CFDataGetTypeID(void);
CFIndex CFDataGetLength(CFDataRef theData);
const UInt8* CFDataGetBytePtr(CFDataRef theData);

// <CoreFoundation/CFDictionary.h>
typedef const struct __CFDictionary* CFDictionaryRef;
CFTypeID CFDictionaryGetTypeID(void);
const void* CFDictionaryGetValue(CFDictionaryRef theDict, const void* key);

// <CoreFoundation/CFURL.h>
typedef const struct __CFURL* CFURLRef;
CFURLRef CFURLCreateFromFileSystemRepresentation(CFAllocatorRef allocator, const UInt8* buffer, CFIndex bufLen,
                                                 Boolean isDirectory);

#ifdef __cplusplus
}
#endif
