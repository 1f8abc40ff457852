// The firmware ABI as the stub sees it. Protocol headers are included where used.
#pragma once

#include "boot-services.h"
#include "device-path.h"
#include "runtime-services.h"
#include "simple-text-output.h"
#include "system-table.h"
#include "types.h"
