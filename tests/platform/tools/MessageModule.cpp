// The tools' test module: a shared library with an embedded message table, which tells where the
// resource section it sees in memory is.
#include "base/resources.h"

extern "C" __attribute__((visibility("default"))) void winsim_tools_test_module_section(
    const unsigned char** data, size_t* size)
{
    const std::span<const uint8_t> section = winsim::ThisModuleResourceSection();
    *data = section.data();
    *size = section.size();
}
