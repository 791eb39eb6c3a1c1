// The public key installed with the program, PELMOR_TRUSTED_KEY of the build: while the
// facility enforces, load takes only manifests signed with it. Generated at configure time and
// linked into the program alone, so that tests hand the entry a key of their own.
#pragma once

extern const char* const TrustedKeyPath;
