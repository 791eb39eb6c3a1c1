#include "cli/entry.h"

int main(int argc, char** argv) {
    SyslogAuditLog audit;
    return Entry(argc, argv, BuildInstalledFiles(), audit);
}
