/* Cipher engine: the substitution tables of GOST 28147-89. The table types,
 * subst_TC26 and curr_subst are public (draxel_lib.h); this header is what
 * the library's own units include for them. */
#ifndef DRAXEL_GOST_A_SUBST_H
#define DRAXEL_GOST_A_SUBST_H

#include "draxel_lib.h"

#endif
