// Declarations of the msg functions of crypt32.
#pragma once
