// The process as a whole: what the agent settles once, before its first pass.
#pragma once

namespace quarv::platform {

// A write beyond the process's file-size limit fails as a write error (EFBIG) instead of ending
// the process: on Linux SIGXFSZ is ignored, so that one file too large for the limit is counted
// as not fetched and every message of the run still reaches the console. Nothing to do on
// Windows, which has no such signal.
void TakeFileSizeLimitAsWriteError();

}  // namespace quarv::platform
