// Per-port notification object (line events by device notification). Created for a port when an
// application registers a callback for it; owned by the library object's port table.
#pragma once

#include <windows.h>

class COstrixComm
{
  public:
    COstrixComm() {}
    virtual ~COstrixComm() {}
    COstrixComm(const COstrixComm&) = delete;
    COstrixComm& operator=(const COstrixComm&) = delete;
};
