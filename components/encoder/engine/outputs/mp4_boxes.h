// The few things the MP4 output does to boxes itself: walking the top level
// of a file, and adding named text tags to a movie box's iTunes-style item
// list as freeform ("----") items. FFmpeg's mp4 muxer writes the standard
// items (title, artist, copyright, description, comment) but drops keys it
// has no item for; the rating text and the attributes go in as freeform
// items named as they are (mean "com.apple.iTunes"), which FFmpeg, tag
// editors and media libraries list under that name.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace encoder::mp4 {

using Bytes = std::vector<std::uint8_t>;

struct Box {
  std::string type;         // four characters
  std::uint64_t offset = 0;  // of the box's first byte
  std::uint64_t size = 0;    // the whole box, header included
  std::uint32_t headerSize = 8;
};

// The box starting at `offset` of `bytes`; nullopt when its header is not
// all there or its size is impossible (smaller than its header).
std::optional<Box> readBox(std::span<const std::uint8_t> bytes, std::uint64_t offset);

// The top-level boxes of the file open as `fd`, in order, up to the first
// one that is cut off or malformed (which is not listed).
std::vector<Box> topLevelBoxes(int fd);

using Tags = std::vector<std::pair<std::string, std::string>>;  // name, UTF-8 text

// The bytes `tags` add to a movie box.
std::size_t freeformTagsSize(const Tags& tags);

// Adds `tags` to the complete movie box `moov` (its first byte at 0) as
// freeform items of moov/udta/meta/ilst, creating whichever of those is
// missing, and corrects every enclosing size. False (moov unchanged) when
// `moov` is not a well-formed movie box.
bool addFreeformTags(Bytes& moov, const Tags& tags);

}  // namespace encoder::mp4
