#include "gost_a.h"

extern "C" const GostEngine gost_engine_neon = {GOST_PATH_NEON, "neon",  nullptr, nullptr,
                                                nullptr,        nullptr, 0,       nullptr};
