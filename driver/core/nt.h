// The WDK headers every driver file builds on, in the order they need.
#pragma once

#include <ntddk.h>
