// Per-port notification object (line events by WMI polling). Created for a port when an
// application registers a callback for it; owned by the library object's WMI port table.
#pragma once

#include <windows.h>

class COstrixCommWmi
{
  public:
    COstrixCommWmi() {}
    virtual ~COstrixCommWmi() {}
    COstrixCommWmi(const COstrixCommWmi&) = delete;
    COstrixCommWmi& operator=(const COstrixCommWmi&) = delete;
};
