// rezezura loaded as a suite runs it: the driver linked into the test, or,
// when the environment's REZEZURA_IMAGE names a file, that image (the real
// rezezura.sys in the x86 build) mapped afresh for each load.
#pragma once

#include "sim/driver.h"

namespace rztest {

// DriverEntry's status, or the loader's when it refused the image (the
// refusal, with its message, also fails the test).
NTSTATUS LoadRezezura(sim::Driver *driver);

// True when the suite runs the driver from an image.
bool RunsImage();

}  // namespace rztest
