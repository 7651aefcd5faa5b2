// Reading and writing the parts of an ASF (.wmv) header the engine touches:
// the header object's list of objects, the file properties, the content
// description (five UTF-16 texts) and the extended content description
// (named attributes). The output layer uses it to complete the header the
// muxer writes; the tests use it to read recordings back field by field.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "runtime/text.h"

namespace encoder::asf {

using Bytes = std::vector<std::uint8_t>;
using Guid = std::array<std::uint8_t, 16>;

extern const Guid kHeaderObject;
extern const Guid kFilePropertiesObject;
extern const Guid kContentDescriptionObject;
extern const Guid kExtendedContentDescriptionObject;
extern const Guid kDataObject;

inline constexpr std::size_t kHeaderPrefixSize = 30;  // guid, size, count, 2 reserved
inline constexpr std::size_t kDataObjectHeaderSize = 50;

// Offsets of fields inside the file properties object.
namespace fileprops {
inline constexpr std::size_t kFileSize = 40;
inline constexpr std::size_t kPacketCount = 56;
inline constexpr std::size_t kPlayDuration = 64;  // 100 ns units, preroll included
inline constexpr std::size_t kSendDuration = 72;  // 100 ns units
inline constexpr std::size_t kPreroll = 80;       // milliseconds
inline constexpr std::size_t kFlags = 88;
inline constexpr std::size_t kMinPacketSize = 92;
inline constexpr std::size_t kSize = 104;
}  // namespace fileprops

struct Object {
  Guid guid;
  std::size_t offset;  // from the start of the header object
  std::size_t size;
};

// The header object at the start of `bytes`; nullopt when the bytes do not
// hold a complete, well-formed one.
struct Header {
  std::size_t size = 0;
  std::vector<Object> objects;
  const Object* find(const Guid& g) const;
};
std::optional<Header> parseHeader(std::span<const std::uint8_t> bytes);

struct ContentDescription {
  rt::Text title, author, copyright, description, rating;
  friend bool operator==(const ContentDescription&, const ContentDescription&) = default;
};

// An attribute of the extended content description. Texts (type 0) hold
// their value in `text`; other types keep their raw little-endian bytes.
struct Attribute {
  enum Type : std::uint16_t { kText = 0, kBytes = 1, kBool = 2, kDword = 3, kQword = 4, kWord = 5 };
  rt::Text name;
  std::uint16_t type = kText;
  rt::Text text;
  Bytes raw;
};

// Parse one object's bytes (starting at its GUID); nullopt when malformed.
std::optional<ContentDescription> readContentDescription(std::span<const std::uint8_t> object);
std::optional<std::vector<Attribute>> readExtendedContent(std::span<const std::uint8_t> object);

// Build complete objects. Each text is stored with a terminating null, as
// Windows Media writers do; the readers strip exactly that one null.
Bytes buildContentDescription(const ContentDescription& cd);
Bytes buildExtendedContent(const std::vector<Attribute>& attributes);

// The largest text (in UTF-16 code units) a 16-bit length field can carry
// with its terminating null.
inline constexpr std::size_t kMaxTextUnits = 32766;

std::uint64_t readU64(std::span<const std::uint8_t> b, std::size_t at);
std::uint32_t readU32(std::span<const std::uint8_t> b, std::size_t at);
void writeU64(std::span<std::uint8_t> b, std::size_t at, std::uint64_t v);
void writeU32(std::span<std::uint8_t> b, std::size_t at, std::uint32_t v);

// The header of the file at `path`, with the bytes it was parsed from, for
// reading recordings back. nullopt with `error` set when it cannot be read.
struct FileHeader {
  Bytes bytes;
  Header header;
  std::optional<ContentDescription> content;
  std::vector<Attribute> attributes;
  std::uint64_t fileSize = 0, packetCount = 0, playDuration = 0, preroll = 0;
  std::uint32_t packetSize = 0;
};
std::optional<FileHeader> readFileHeader(const std::string& path, std::string& error);

}  // namespace encoder::asf
