#include "MetadataQuery.h"

// The classes live in the header; this file gives them a home for moc.
