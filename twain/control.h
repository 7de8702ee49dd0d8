// The DG_CONTROL operations other than capabilities and status.
#pragma once

#include "twain/triplet.h"

TW_UINT16 HandleIdentity(const Triplet& triplet);
