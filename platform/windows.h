// Lets client code written for Windows include <windows.h> first and compile unchanged.
#pragma once

#include "wintypes.h"
