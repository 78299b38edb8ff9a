#include "common/run_options.h"

RunOptions runOptions = {false, false, false, false};
