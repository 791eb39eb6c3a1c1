// The program's standard streams: descriptors 0 to 2 always occupied, so that no file the
// program opens can take their place, and standard output written so that a failed write is
// remembered with its system error and reported when the command ends.
#pragma once

// Called first, before anything is opened. Also ignores SIGPIPE and SIGXFSZ: a reader that
// goes away, or a file size limit, then makes writes fail instead of ending the process in the
// middle of its work.
void PrepareStandardStreams();

// Whether a write to standard output has failed so far.
bool StandardOutputFailed();

// Returns `status`, or `failed` after "Error: cannot write standard output: REASON" on stderr
// when any write to standard output failed.
int FinishStandardOutput(int status, int failed);
