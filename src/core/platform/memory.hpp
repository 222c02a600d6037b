// Memory advice to the operating system; a no-op where it has no such advice.
#pragma once

#include <cstddef>

namespace tarnwick::core::platform {

// Asks for the 2 MiB-aligned part of [data, data + bytes) to be backed by huge pages: one page
// fault per 2 MiB instead of 512. Only advice; nothing happens where the system offers none.
void advise_huge_pages(void* data, std::size_t bytes) noexcept;

}  // namespace tarnwick::core::platform
