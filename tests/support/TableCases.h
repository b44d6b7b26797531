// Table-driven test cases shared by the platform tests: verifier stop cases and the printer that
// names any table case by its name field.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace winsimtest
{

// One broken rule: the body breaks it, the diagnostic (a regular expression) is what the
// verifier must print before it stops the machine.
struct StopCase
{
    const char* name;
    void (*body)();
    const char* diagnostic;
};

inline std::string StopCaseName(const ::testing::TestParamInfo<StopCase>& info)
{
    return info.param.name;
}

// Table cases print as their name (ctest lists them so). A test namespace brings this in with a
// using-declaration so that argument-dependent lookup finds it for its own case types.
template <typename Case>
requires requires(const Case& c)
{
    c.name;
}
void PrintTo(const Case& c, std::ostream* os)
{
    *os << c.name;
}

} // namespace winsimtest
