#pragma once
#include "npk/wintypes.h"
// Filled by the certificate layer.
