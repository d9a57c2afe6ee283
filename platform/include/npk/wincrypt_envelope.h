// Declarations of the envelope functions of crypt32.
#pragma once
