// Record input shared by all tools: lines and fields (lines.h) and the
// numbers read out of them (numbers.h).
#pragma once

#include "lines.h"
#include "numbers.h"
