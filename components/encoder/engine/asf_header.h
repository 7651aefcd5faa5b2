// Reading and writing the parts of an ASF (.wmv) header the engine touches:
// the header object's list of objects, the file properties, the content
// description (five UTF-16 texts), the extended content description (named
// attributes), and the header extension with an extended stream properties
// object per stream (frame rate, bit rate, largest object). The output layer uses it to complete the header the
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
extern const Guid kStreamPropertiesObject;
extern const Guid kHeaderExtensionObject;
extern const Guid kExtendedStreamPropertiesObject;

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

// Offsets of fields inside a stream properties object.
namespace streamprops {
inline constexpr std::size_t kFlags = 72;  // the stream number in its low 7 bits
inline constexpr std::size_t kMinSize = 78;
}  // namespace streamprops

// The header extension object: its fixed part, then its data, a list of objects.
inline constexpr std::size_t kHeaderExtensionFixedSize = 46;

// Offsets of fields inside an extended stream properties object.
namespace extstream {
inline constexpr std::size_t kMaxObjectSize = 64;
inline constexpr std::size_t kSize = 88;  // without stream names or payload extensions
}  // namespace extstream

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

// What an extended stream properties object says of one stream.
struct StreamExtension {
  static constexpr std::uint32_t kSeekable = 0x2;
  std::uint16_t streamNumber = 0;
  std::uint32_t dataBitrate = 0;    // bits per second: the leaky bucket's rate
  std::uint32_t bufferSize = 0;     // milliseconds: the leaky bucket's size
  std::uint32_t maxObjectSize = 0;  // bytes: the largest media object (frame) of the stream
  std::uint32_t flags = 0;
  std::uint64_t timePerFrame = 0;   // 100 ns units: the average time per frame, 0 if unknown
  friend bool operator==(const StreamExtension&, const StreamExtension&) = default;
};

// Parse one object's bytes (starting at its GUID); nullopt when malformed.
std::optional<ContentDescription> readContentDescription(std::span<const std::uint8_t> object);
std::optional<std::vector<Attribute>> readExtendedContent(std::span<const std::uint8_t> object);
std::optional<StreamExtension> readExtendedStreamProperties(std::span<const std::uint8_t> object);
// The stream number a stream properties object declares.
std::optional<std::uint16_t> readStreamNumber(std::span<const std::uint8_t> object);
// The objects inside a header extension object (offsets from its start).
std::optional<std::vector<Object>> parseHeaderExtension(std::span<const std::uint8_t> object);

// Build complete objects. Each text is stored with a terminating null, as
// Windows Media writers do; the readers strip exactly that one null.
Bytes buildContentDescription(const ContentDescription& cd);
Bytes buildExtendedContent(const std::vector<Attribute>& attributes);
// The extended stream properties object of one stream: no start or end time,
// no stream names and no payload extensions (the packets carry none); the
// alternate leaky bucket is the same as the first.
Bytes buildExtendedStreamProperties(const StreamExtension& s);
// A header extension object holding these objects, one after the other.
Bytes buildHeaderExtension(std::span<const std::uint8_t> objects);

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
  std::vector<StreamExtension> streams;  // the extended stream properties, as they come
  std::uint64_t fileSize = 0, packetCount = 0, playDuration = 0, preroll = 0;
  std::uint32_t packetSize = 0;
};
std::optional<FileHeader> readFileHeader(const std::string& path, std::string& error);

}  // namespace encoder::asf
