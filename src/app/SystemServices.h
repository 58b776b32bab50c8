#pragma once

#include "engine/EngineServices.h"

// The platform services of the computer the program runs on.
EngineServices systemServices();
