// The one door from the public handles to what they hold, opened only by
// the runtime's own sources.
#pragma once

namespace green::detail {
struct Access;
}  // namespace green::detail
