// Cryptographic service providers: contexts, hashes, keys, signatures.
#pragma once
