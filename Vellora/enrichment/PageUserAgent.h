#pragma once
// The name under which every page is fetched, for its metadata and for its
// snapshot alike. Many sites give an unknown client a cut-down page, a
// consent wall or nothing at all, and keep their titles, descriptions and
// preview pictures for the browsers they know: asking as a current desktop
// Safari gets the page a person would see. One name for both roads, so the
// cover and the text of a link come from the same page.

namespace vellora {

inline constexpr char kPageUserAgent[] =
    "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko) "
    "Version/26.0 Safari/605.1.15";

} // namespace vellora
