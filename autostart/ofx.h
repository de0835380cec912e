// The few OpenFX declarations that the entry points need, with the standard's
// signatures.
#pragma once

extern "C" {

typedef int OfxStatus;
typedef struct OfxPropertySetStruct* OfxPropertySetHandle;

/// What a host hands a plug-in binary: its property set and suite fetcher.
typedef struct OfxHost {
    OfxPropertySetHandle host;
    const void* (*fetchSuite)(OfxPropertySetHandle host, const char* suiteName, int suiteVersion);
} OfxHost;

typedef OfxStatus(OfxPluginEntryPoint)(const char* action, const void* handle, OfxPropertySetHandle inArgs,
                                       OfxPropertySetHandle outArgs);

/// One plug-in of a binary, as a host reads it.
typedef struct OfxPlugin {
    const char* pluginApi;
    int apiVersion;
    const char* pluginIdentifier;
    unsigned int pluginVersionMajor;
    unsigned int pluginVersionMinor;
    void (*setHost)(OfxHost* host);
    OfxPluginEntryPoint* mainEntry;
} OfxPlugin;

#define kOfxStatOK 0

#define OfxExport extern "C" __attribute__((visibility("default")))

}  // extern "C"
