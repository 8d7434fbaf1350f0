// The kernel layer: the subset of the classic real-time kernel API the firmware uses.
#pragma once
#include <stddef.h>
#include <stdint.h>

// Order matters: each header builds on the one before.
// clang-format off
#include "projdefs.h"
#include "FreeRTOSConfig.h"
#include "portmacro.h"
#include "portable.h"
// clang-format on
