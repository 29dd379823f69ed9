#pragma once
// "--ingest-drops": takes what the share program left in the drops folder
// into the library, then prints "library: <n> items (<m> links)".

namespace vellora {

// Status 0; 1 when the library could not be loaded (its file is damaged),
// in which case no drop is touched.
int runIngestDrops();

} // namespace vellora
