#pragma once
#include "npk/wintypes.h"
