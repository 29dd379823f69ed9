#pragma once
// Records for the tables of what the content column shows.

#include "library/Item.h"

namespace vellora::apptest {

// A picture with the fields the sorts and filters look at first.
inline Item imageItem(const QString &id, const QString &name, double added)
{
    Item it;
    it.id = id;
    it.kind = QStringLiteral("image");
    it.originalFilename = name;
    it.dateAdded = added;
    return it;
}

} // namespace vellora::apptest
