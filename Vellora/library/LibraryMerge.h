#pragma once
// Three-way merge of two versions of a library that both started from the
// same one: this store's unsaved state and a version written elsewhere (by
// another machine or a command-line run beside the window).
//
// Records are matched by id. A record changed on one side only takes that
// side's value; one changed on both sides keeps the local value; a record
// added on either side is kept; one deleted on one side stays deleted unless
// the other side changed it. Order: the local order, then what only the
// other side added, in its order. Afterwards every item outside the trash
// belongs to at least one existing collection.

#include "LibraryFile.h"

namespace vellora {

LibraryFile mergeLibraries(const LibraryFile &base, const LibraryFile &local, const LibraryFile &remote);

} // namespace vellora
