// Declarations of the pfx functions of crypt32.
#pragma once
