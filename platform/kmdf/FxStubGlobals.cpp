// The stub's part that every image calling the framework needs: the image's driver globals, which
// the framework's inline wrappers in wdf.h pass on each call, and what the image asks to bind to.
// Linked into each driver image, so each image has its own; hidden, so images do not share them.
#include <wdf.h>
#include <wdfldr.h>

extern "C"
{

    PWDF_DRIVER_GLOBALS WdfDriverGlobals = nullptr;

    __attribute__((visibility("hidden"))) WDF_BIND_INFO WdfBindInfo = {
        sizeof(WDF_BIND_INFO), const_cast<PWCHAR>(L"KmdfLibrary"), {1, 15, 0}, 0, nullptr, nullptr};

} // extern "C"
