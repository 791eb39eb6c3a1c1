#include "cli/entry.h"
#include "cli/trusted_key.h"

int main(int argc, char** argv) {
    return Entry(argc, argv, TrustedKeyPath);
}
