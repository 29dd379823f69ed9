#pragma once
// Three-way merge of two versions of a library that both started from the
// same one: this store's unsaved state and a version written elsewhere (by
// another machine or a command-line run beside the window).
//
// Records are matched by id. A record changed on one side only takes that
// side's value; a record added on either side is kept. Items changed on both
// sides merge field by field: a change on one side wins over no change, a
// move to the trash wins and takes its membership along, collectionIds and
// tags merge as sets, and a true clash keeps the local value. An item deleted
// on one side stays deleted whatever the other side changed; a collection or
// smart folder deleted on one side stays deleted unless the other changed it. Order: the local order, then what only the
// other side added, in its order. Afterwards every item outside the trash
// belongs to at least one existing collection.

#include "LibraryFile.h"

namespace vellora {

LibraryFile mergeLibraries(const LibraryFile &base, const LibraryFile &local, const LibraryFile &remote);

} // namespace vellora
