// The one place where platforms differ for the module: Windows' own header on
// Windows, the project's stand-in declaring the same functions elsewhere.
// It lives beside the module, which it is written for; the native stand-ins
// (winsim, winwrap) and the conformance test include it from here so that
// they see Windows exactly as the module does.
#ifndef WINDOWS_PLATFORM_H
#define WINDOWS_PLATFORM_H

// MODULE_INIT_FUNCTION declares an extension module's entry point, exported
// from a library built with hidden symbols. WINSTUB_ON_WINDOWS: code that
// drives the stand-in itself (winsim) takes the stand-in's declarations on
// Windows too.
#if defined(_WIN32) && !defined(WINSTUB_ON_WINDOWS)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <winstub/windows.h>
#endif
#ifdef _WIN32
#define MODULE_INIT_FUNCTION extern "C" __declspec(dllexport) void
#else
#define MODULE_INIT_FUNCTION extern "C" __attribute__((visibility("default"))) void
#endif

#endif  // WINDOWS_PLATFORM_H
