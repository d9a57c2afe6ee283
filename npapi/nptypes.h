// Fixed-width integer types and bool as the NPAPI headers use them.
#pragma once

#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif
