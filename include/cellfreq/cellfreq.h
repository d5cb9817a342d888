// cellfreq/cellfreq.h: the whole public C++ API in one include.
#pragma once

#include "cellfreq/error.h"
#include "cellfreq/input.h"
#include "cellfreq/results.h"
#include "cellfreq/run.h"
#include "cellfreq/settings.h"
