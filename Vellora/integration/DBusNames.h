#pragma once
// The names under which the program meets the desktop on the session bus.

namespace vellora {

// The running window: its single-instance interface,
// org.freedesktop.Application, and the program's own interface, which also
// carries its signals, at the same path.
inline constexpr char kApplicationService[] = "com.quendle.vellora";
inline constexpr char kApplicationPath[] = "/com/quendle/vellora";
inline constexpr char kApplicationInterface[] = "com.quendle.vellora.Shell";

// The headless search provider ("vellora --search-provider") that the bus
// starts when the desktop's search first asks.
inline constexpr char kSearchProviderService[] = "com.quendle.vellora.SearchProvider";
inline constexpr char kSearchProviderPath[] = "/com/quendle/vellora/SearchProvider";

} // namespace vellora
