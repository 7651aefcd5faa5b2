#include "components/encoder/engine/asf_header.h"

#include <algorithm>
#include <fstream>

namespace encoder::asf {

const Guid kHeaderObject{0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                         0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
const Guid kFilePropertiesObject{0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                 0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
const Guid kContentDescriptionObject{0x33, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                     0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
const Guid kExtendedContentDescriptionObject{0x40, 0xA4, 0xD0, 0xD2, 0x07, 0xE3, 0xD2, 0x11,
                                             0x97, 0xF0, 0x00, 0xA0, 0xC9, 0x5E, 0xA8, 0x50};
const Guid kDataObject{0x36, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                       0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
const Guid kStreamPropertiesObject{0x91, 0x07, 0xDC, 0xB7, 0xB7, 0xA9, 0xCF, 0x11,
                                   0x8E, 0xE6, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
const Guid kHeaderExtensionObject{0xB5, 0x03, 0xBF, 0x5F, 0x2E, 0xA9, 0xCF, 0x11,
                                  0x8E, 0xE3, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
const Guid kExtendedStreamPropertiesObject{0xCB, 0xA5, 0xE6, 0x14, 0x72, 0xC6, 0x32, 0x43,
                                           0x83, 0x99, 0xA9, 0x69, 0x52, 0x06, 0x5B, 0x5A};
namespace {
// The header extension's first reserved field, a fixed GUID, and its second, 6.
const Guid kHeaderExtensionReserved{0x11, 0xD2, 0xD3, 0xAB, 0xBA, 0xA9, 0xCF, 0x11,
                                    0x8E, 0xE6, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
constexpr std::uint16_t kHeaderExtensionReserved2 = 6;
}  // namespace

std::uint64_t readU64(std::span<const std::uint8_t> b, std::size_t at) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < 8; ++i) v |= std::uint64_t{b[at + i]} << (8 * i);
  return v;
}
std::uint32_t readU32(std::span<const std::uint8_t> b, std::size_t at) {
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < 4; ++i) v |= std::uint32_t{b[at + i]} << (8 * i);
  return v;
}
static std::uint16_t readU16(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}
void writeU64(std::span<std::uint8_t> b, std::size_t at, std::uint64_t v) {
  for (std::size_t i = 0; i < 8; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void writeU32(std::span<std::uint8_t> b, std::size_t at, std::uint32_t v) {
  for (std::size_t i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

namespace {

Guid guidAt(std::span<const std::uint8_t> b, std::size_t at) {
  Guid g;
  std::copy_n(b.begin() + static_cast<std::ptrdiff_t>(at), 16, g.begin());
  return g;
}

// `len` bytes of UTF-16LE; one terminating null is not part of the text.
rt::Text utf16(std::span<const std::uint8_t> b, std::size_t at, std::size_t len) {
  rt::Text t;
  for (std::size_t i = 0; i + 1 < len; i += 2)
    t.push_back(static_cast<char16_t>(b[at + i] | (b[at + i + 1] << 8)));
  if (!t.empty() && t.back() == u'\0') t.pop_back();
  return t;
}

void putU16(Bytes& out, std::size_t v) {
  out.push_back(static_cast<std::uint8_t>(v & 0xFF));
  out.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFF));
}
void putU32(Bytes& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void putU64(Bytes& out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
// A list of objects (GUID, 64-bit size, body) filling `b` from `at` to its end.
std::optional<std::vector<Object>> objectList(std::span<const std::uint8_t> b, std::size_t at) {
  std::vector<Object> out;
  while (at < b.size()) {
    if (at + 24 > b.size()) return std::nullopt;
    const std::uint64_t size = readU64(b, at + 16);
    if (size < 24 || size > b.size() - at) return std::nullopt;
    out.push_back({guidAt(b, at), at, static_cast<std::size_t>(size)});
    at += static_cast<std::size_t>(size);
  }
  return out;
}
void putText(Bytes& out, const rt::Text& t) {
  for (char16_t c : t) putU16(out, c);
  putU16(out, 0);
}
std::size_t textBytes(const rt::Text& t) { return 2 * std::min(t.size() + 1, kMaxTextUnits + 1); }
rt::Text clip(const rt::Text& t) { return t.substr(0, kMaxTextUnits); }

Bytes objectStart(const Guid& g) {
  Bytes out(g.begin(), g.end());
  out.resize(24);  // size filled in by finish()
  return out;
}
void finish(Bytes& out) { writeU64(out, 16, out.size()); }

}  // namespace

const Object* Header::find(const Guid& g) const {
  for (const auto& o : objects)
    if (o.guid == g) return &o;
  return nullptr;
}

std::optional<Header> parseHeader(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kHeaderPrefixSize || guidAt(bytes, 0) != kHeaderObject) return std::nullopt;
  Header h;
  const std::uint64_t size = readU64(bytes, 16);
  if (size < kHeaderPrefixSize || size > bytes.size()) return std::nullopt;
  h.size = static_cast<std::size_t>(size);
  auto objects = objectList(bytes.first(h.size), kHeaderPrefixSize);
  if (!objects || objects->size() != readU32(bytes, 24)) return std::nullopt;
  h.objects = std::move(*objects);
  return h;
}

std::optional<ContentDescription> readContentDescription(std::span<const std::uint8_t> b) {
  if (b.size() < 34 || guidAt(b, 0) != kContentDescriptionObject) return std::nullopt;
  std::size_t lens[5];
  std::size_t total = 34;
  for (std::size_t i = 0; i < 5; ++i) total += lens[i] = readU16(b, 24 + 2 * i);
  if (total > b.size()) return std::nullopt;
  ContentDescription cd;
  rt::Text* fields[5] = {&cd.title, &cd.author, &cd.copyright, &cd.description, &cd.rating};
  std::size_t at = 34;
  for (std::size_t i = 0; i < 5; ++i) {
    *fields[i] = utf16(b, at, lens[i]);
    at += lens[i];
  }
  return cd;
}

std::optional<std::vector<Attribute>> readExtendedContent(std::span<const std::uint8_t> b) {
  if (b.size() < 26 || guidAt(b, 0) != kExtendedContentDescriptionObject) return std::nullopt;
  const std::size_t count = readU16(b, 24);
  std::vector<Attribute> out;
  std::size_t at = 26;
  for (std::size_t i = 0; i < count; ++i) {
    if (at + 2 > b.size()) return std::nullopt;
    const std::size_t nameLen = readU16(b, at);
    if (at + 2 + nameLen + 4 > b.size()) return std::nullopt;
    Attribute a;
    a.name = utf16(b, at + 2, nameLen);
    at += 2 + nameLen;
    a.type = readU16(b, at);
    const std::size_t valueLen = readU16(b, at + 2);
    at += 4;
    if (at + valueLen > b.size()) return std::nullopt;
    a.raw.assign(b.begin() + static_cast<std::ptrdiff_t>(at),
                 b.begin() + static_cast<std::ptrdiff_t>(at + valueLen));
    if (a.type == Attribute::kText) a.text = utf16(b, at, valueLen);
    at += valueLen;
    out.push_back(std::move(a));
  }
  return out;
}

std::optional<StreamExtension> readExtendedStreamProperties(std::span<const std::uint8_t> b) {
  if (b.size() < extstream::kSize || guidAt(b, 0) != kExtendedStreamPropertiesObject) return std::nullopt;
  StreamExtension s;
  s.dataBitrate = readU32(b, 40);
  s.bufferSize = readU32(b, 44);
  s.maxObjectSize = readU32(b, extstream::kMaxObjectSize);
  s.flags = readU32(b, 68);
  s.streamNumber = readU16(b, 72);
  s.timePerFrame = readU64(b, 76);
  return s;
}

std::optional<std::uint16_t> readStreamNumber(std::span<const std::uint8_t> b) {
  if (b.size() < streamprops::kMinSize || guidAt(b, 0) != kStreamPropertiesObject) return std::nullopt;
  return static_cast<std::uint16_t>(readU16(b, streamprops::kFlags) & 0x7F);
}

std::optional<std::vector<Object>> parseHeaderExtension(std::span<const std::uint8_t> b) {
  if (b.size() < kHeaderExtensionFixedSize || guidAt(b, 0) != kHeaderExtensionObject) return std::nullopt;
  if (readU32(b, 42) != b.size() - kHeaderExtensionFixedSize) return std::nullopt;
  return objectList(b, kHeaderExtensionFixedSize);
}

Bytes buildExtendedStreamProperties(const StreamExtension& s) {
  Bytes out = objectStart(kExtendedStreamPropertiesObject);
  putU64(out, 0);  // start time: not given
  putU64(out, 0);  // end time: not given
  for (int bucket = 0; bucket < 2; ++bucket) {
    putU32(out, s.dataBitrate);
    putU32(out, s.bufferSize);
    putU32(out, 0);  // initial buffer fullness
  }
  putU32(out, s.maxObjectSize);
  putU32(out, s.flags);
  putU16(out, s.streamNumber);
  putU16(out, 0);  // language: none listed
  putU64(out, s.timePerFrame);
  putU16(out, 0);  // stream names
  putU16(out, 0);  // payload extension systems
  finish(out);
  return out;
}

Bytes buildHeaderExtension(std::span<const std::uint8_t> objects) {
  Bytes out = objectStart(kHeaderExtensionObject);
  out.insert(out.end(), kHeaderExtensionReserved.begin(), kHeaderExtensionReserved.end());
  putU16(out, kHeaderExtensionReserved2);
  putU32(out, static_cast<std::uint32_t>(objects.size()));
  out.insert(out.end(), objects.begin(), objects.end());
  finish(out);
  return out;
}

Bytes buildContentDescription(const ContentDescription& cd) {
  Bytes out = objectStart(kContentDescriptionObject);
  const rt::Text* fields[5] = {&cd.title, &cd.author, &cd.copyright, &cd.description, &cd.rating};
  for (const rt::Text* f : fields) putU16(out, textBytes(*f));
  for (const rt::Text* f : fields) putText(out, clip(*f));
  finish(out);
  return out;
}

Bytes buildExtendedContent(const std::vector<Attribute>& attributes) {
  Bytes out = objectStart(kExtendedContentDescriptionObject);
  putU16(out, attributes.size());
  for (const auto& a : attributes) {
    putU16(out, textBytes(a.name));
    putText(out, clip(a.name));
    putU16(out, a.type);
    if (a.type == Attribute::kText) {
      putU16(out, textBytes(a.text));
      putText(out, clip(a.text));
    } else {
      putU16(out, a.raw.size());
      out.insert(out.end(), a.raw.begin(), a.raw.end());
    }
  }
  finish(out);
  return out;
}

std::optional<FileHeader> readFileHeader(const std::string& path, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot open " + path;
    return std::nullopt;
  }
  FileHeader f;
  f.bytes.resize(kHeaderPrefixSize);
  in.read(reinterpret_cast<char*>(f.bytes.data()), static_cast<std::streamsize>(kHeaderPrefixSize));
  if (in.gcount() != static_cast<std::streamsize>(kHeaderPrefixSize) ||
      guidAt(f.bytes, 0) != kHeaderObject) {
    error = "no ASF header object at the start of " + path;
    return std::nullopt;
  }
  const std::uint64_t size = readU64(f.bytes, 16);
  if (size > (1u << 24)) {
    error = "implausible header size";
    return std::nullopt;
  }
  f.bytes.resize(static_cast<std::size_t>(size));
  in.read(reinterpret_cast<char*>(f.bytes.data() + kHeaderPrefixSize),
          static_cast<std::streamsize>(size - kHeaderPrefixSize));
  auto h = parseHeader(f.bytes);
  if (!h) {
    error = "malformed ASF header in " + path;
    return std::nullopt;
  }
  f.header = *h;
  const std::span<const std::uint8_t> all(f.bytes);
  if (const Object* o = h->find(kContentDescriptionObject)) {
    f.content = readContentDescription(all.subspan(o->offset, o->size));
    if (!f.content) {
      error = "malformed content description";
      return std::nullopt;
    }
  }
  if (const Object* o = h->find(kExtendedContentDescriptionObject)) {
    auto attrs = readExtendedContent(all.subspan(o->offset, o->size));
    if (!attrs) {
      error = "malformed extended content description";
      return std::nullopt;
    }
    f.attributes = std::move(*attrs);
  }
  if (const Object* o = h->find(kHeaderExtensionObject)) {
    const auto ext = all.subspan(o->offset, o->size);
    const auto inner = parseHeaderExtension(ext);
    if (!inner) {
      error = "malformed header extension";
      return std::nullopt;
    }
    for (const Object& e : *inner) {
      if (e.guid != kExtendedStreamPropertiesObject) continue;
      const auto s = readExtendedStreamProperties(ext.subspan(e.offset, e.size));
      if (!s) {
        error = "malformed extended stream properties";
        return std::nullopt;
      }
      f.streams.push_back(*s);
    }
  }
  if (const Object* o = h->find(kFilePropertiesObject); o && o->size >= fileprops::kSize) {
    const auto fp = all.subspan(o->offset, o->size);
    f.fileSize = readU64(fp, fileprops::kFileSize);
    f.packetCount = readU64(fp, fileprops::kPacketCount);
    f.playDuration = readU64(fp, fileprops::kPlayDuration);
    f.preroll = readU64(fp, fileprops::kPreroll);
    f.packetSize = readU32(fp, fileprops::kMinPacketSize);
  } else {
    error = "no file properties object";
    return std::nullopt;
  }
  return f;
}

}  // namespace encoder::asf
