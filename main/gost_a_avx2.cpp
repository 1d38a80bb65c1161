#include "gost_a.h"

extern "C" const GostEngine gost_engine_avx2 = {GOST_PATH_AVX2, "avx2", nullptr, nullptr,
                                                nullptr,        0,      nullptr};
