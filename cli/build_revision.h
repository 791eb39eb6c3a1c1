// The source revision this binary was built from: 8 lower-case hex digits, or "00000000"
// when the source was not a git checkout. Generated at build time.
#pragma once

extern const char* const BuildRevision;
