#include "cli/entry.h"
#include "common/allocator.h"

int main(int argc, char** argv) {
    // For each file a worker describes, libmagic takes buffers of up to its byte limit (7 MiB),
    // for the file's start and its end: mapped apart, they go back to the system once the file
    // is described, so that memory grows with the files being described, not with the workers.
    // Set here, since it changes the allocator's behaviour for the whole process.
    MapLargeBlocksApart();
    SyslogAuditLog audit;
    return Entry(argc, argv, BuildInstalledFiles(), audit);
}
