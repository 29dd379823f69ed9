#pragma once
// Splitting one large piece of work (the items of a library being read or
// written) across the machine's cores. Each part runs on a thread of its
// own, which also spreads the cost of touching fresh memory: in a large
// library that, not the parsing, is most of the time.

#include <QList>

#include <algorithm>
#include <memory>
#include <new>
#include <cstddef>
#include <exception>
#include <functional>
#include <thread>
#include <vector>

namespace vellora {

// How many parts `count` units of work are worth, at least `perPart` each,
// and no more than the cores (one of which is left for the window).
inline int partsFor(std::size_t count, std::size_t perPart)
{
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const std::size_t most = cores > 2 ? cores - 1 : cores;
    return int(std::clamp<std::size_t>(count / std::max<std::size_t>(perPart, 1), 1, most));
}

// The half-open range of `count` units that part `part` of `parts` takes.
inline std::pair<std::size_t, std::size_t> partRange(std::size_t count, int parts, int part)
{
    return {count * std::size_t(part) / std::size_t(parts), count * std::size_t(part + 1) / std::size_t(parts)};
}

// Runs work(0) .. work(parts - 1), part 0 on the calling thread, and
// returns once all are done. The first exception a part throws is thrown
// here, after every part has finished.
inline void runParts(int parts, const std::function<void(int)> &work)
{
    if (parts <= 1) {
        work(0);
        return;
    }
    auto errors = std::vector<std::exception_ptr>(std::size_t(parts));
    std::vector<std::thread> threads;
    threads.reserve(std::size_t(parts - 1));
    for (int part = 1; part < parts; ++part)
        threads.emplace_back([&work, &errors, part] {
            try {
                work(part);
            } catch (...) {
                errors[std::size_t(part)] = std::current_exception();
            }
        });
    try {
        work(0);
    } catch (...) {
        errors[0] = std::current_exception();
    }
    for (std::thread &thread : threads)
        thread.join();
    for (const std::exception_ptr &error : errors)
        if (error)
            std::rethrow_exception(error);
}

// A list of `count` elements built in `parts` parts at once, straight into
// the list's own storage. fill(part, first, last, cells, made) constructs
// cells[first], cells[first + 1], ... in place, counting each in `made`, up
// to cells[last - 1]. If any part throws, what the parts made is destroyed
// and the first exception is thrown here.
template <typename T, typename Fill> QList<T> listInParts(std::size_t count, int parts, Fill fill)
{
    if (count == 0)
        return {};
    QArrayDataPointer<T> storage(QTypedArrayData<T>::allocate(qsizetype(count)));
    if (!storage.data())
        throw std::bad_alloc();
    T *const cells = storage.data();
    std::vector<std::size_t> made(std::size_t(parts), 0);
    try {
        runParts(parts, [&](int part) {
            const auto [first, last] = partRange(count, parts, part);
            fill(part, first, last, cells, made[std::size_t(part)]);
        });
    } catch (...) {
        for (int part = 0; part < parts; ++part)
            std::destroy_n(cells + partRange(count, parts, part).first, made[std::size_t(part)]);
        throw;
    }
    storage.size = qsizetype(count);
    return QList<T>(std::move(storage));
}

// A copy of `list` that shares no storage with it, copied in parts.
template <typename T> QList<T> copyInParts(const QList<T> &list, std::size_t perPart)
{
    const std::size_t count = std::size_t(list.size());
    const T *const from = list.constData();
    return listInParts<T>(count, partsFor(count, perPart),
                          [from](int, std::size_t first, std::size_t last, T *cells, std::size_t &made) {
                              for (std::size_t i = first; i < last; ++i, ++made)
                                  new (cells + i) T(from[i]);
                          });
}

} // namespace vellora
