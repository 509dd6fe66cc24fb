#include "ground/settings.h"

int debug_level = 0;
