#include "components/encoder/engine/outputs/mp4_boxes.h"

#include <unistd.h>

#include <cerrno>

namespace encoder::mp4 {

namespace {

std::uint32_t readU32(std::span<const std::uint8_t> b, std::uint64_t at) {
  return static_cast<std::uint32_t>(b[at]) << 24 | static_cast<std::uint32_t>(b[at + 1]) << 16 |
         static_cast<std::uint32_t>(b[at + 2]) << 8 | b[at + 3];
}

void writeU32(Bytes& b, std::size_t at, std::uint32_t v) {
  b[at] = static_cast<std::uint8_t>(v >> 24);
  b[at + 1] = static_cast<std::uint8_t>(v >> 16);
  b[at + 2] = static_cast<std::uint8_t>(v >> 8);
  b[at + 3] = static_cast<std::uint8_t>(v);
}

void appendU32(Bytes& b, std::uint32_t v) {
  b.resize(b.size() + 4);
  writeU32(b, b.size() - 4, v);
}

// A box of `type` around `payload`.
Bytes box(const char* type, const Bytes& payload) {
  Bytes b;
  appendU32(b, static_cast<std::uint32_t>(8 + payload.size()));
  b.insert(b.end(), type, type + 4);
  b.insert(b.end(), payload.begin(), payload.end());
  return b;
}

Bytes fullBoxText(const std::string& text) {  // version and flags 0, then the text
  Bytes b(4, 0);
  b.insert(b.end(), text.begin(), text.end());
  return b;
}

Bytes freeformItem(const std::string& name, const std::string& value) {
  Bytes data;
  appendU32(data, 1);  // well-known type 1: UTF-8 text
  appendU32(data, 0);  // locale: any
  data.insert(data.end(), value.begin(), value.end());
  Bytes payload = box("mean", fullBoxText("com.apple.iTunes"));
  const Bytes n = box("name", fullBoxText(name)), d = box("data", data);
  payload.insert(payload.end(), n.begin(), n.end());
  payload.insert(payload.end(), d.begin(), d.end());
  return box("----", payload);
}

// The handler box that says a meta box holds an iTunes-style item list.
Bytes itemListHandler() {
  Bytes hdlr(8, 0);  // version, flags, pre-defined
  hdlr.insert(hdlr.end(), {'m', 'd', 'i', 'r', 'a', 'p', 'p', 'l'});
  hdlr.resize(hdlr.size() + 8 + 1, 0);  // reserved, an empty name
  return box("hdlr", hdlr);
}

// The child of `type` inside the box at `parent` (whose children start
// `skip` bytes after its header); nullopt when absent.
std::optional<Box> child(const Bytes& b, const Box& parent, std::uint32_t skip, const char* type) {
  std::uint64_t at = parent.offset + parent.headerSize + skip;
  const std::uint64_t end = parent.offset + parent.size;
  while (at < end) {
    auto c = readBox(b, at);
    if (!c || c->offset + c->size > end) return std::nullopt;
    if (c->type == type) return c;
    at += c->size;
  }
  return std::nullopt;
}

// Inserts `add` at `pos` and grows every box in `enclosing` by its size.
void insertInto(Bytes& b, std::uint64_t pos, const Bytes& add, const std::vector<Box>& enclosing) {
  b.insert(b.begin() + static_cast<std::ptrdiff_t>(pos), add.begin(), add.end());
  for (const Box& e : enclosing)
    writeU32(b, e.offset, static_cast<std::uint32_t>(readU32(b, e.offset) + add.size()));
}

}  // namespace

std::optional<Box> readBox(std::span<const std::uint8_t> bytes, std::uint64_t offset) {
  if (offset + 8 > bytes.size()) return std::nullopt;
  Box b;
  b.offset = offset;
  b.type.assign(reinterpret_cast<const char*>(bytes.data() + offset + 4), 4);
  b.size = readU32(bytes, offset);
  if (b.size == 1) {  // a 64-bit size follows the type
    if (offset + 16 > bytes.size()) return std::nullopt;
    b.size = static_cast<std::uint64_t>(readU32(bytes, offset + 8)) << 32 | readU32(bytes, offset + 12);
    b.headerSize = 16;
  } else if (b.size == 0) {  // to the end
    b.size = bytes.size() - offset;
  }
  if (b.size < b.headerSize) return std::nullopt;
  return b;
}

std::vector<Box> topLevelBoxes(int fd) {
  std::vector<Box> out;
  const off_t end = ::lseek(fd, 0, SEEK_END);
  std::uint64_t at = 0;
  while (end > 0 && at + 8 <= static_cast<std::uint64_t>(end)) {
    std::uint8_t head[16] = {};
    const ssize_t n = ::pread(fd, head, sizeof head, static_cast<off_t>(at));
    if (n < 8) break;
    auto b = readBox(std::span<const std::uint8_t>(head, static_cast<std::size_t>(n)), 0);
    if (!b) break;
    if (readU32(head, 0) == 0) b->size = static_cast<std::uint64_t>(end) - at;
    b->offset = at;
    if (at + b->size > static_cast<std::uint64_t>(end)) break;
    out.push_back(*b);
    at += b->size;
  }
  return out;
}

std::size_t freeformTagsSize(const Tags& tags) {
  std::size_t n = 0;
  for (const auto& [name, value] : tags) n += freeformItem(name, value).size();
  return n;
}

bool addFreeformTags(Bytes& moov, const Tags& tags) {
  const auto m = readBox(moov, 0);
  if (!m || m->type != "moov" || m->size != moov.size() || m->headerSize != 8) return false;
  if (tags.empty()) return true;
  Bytes items;
  for (const auto& [name, value] : tags) {
    const Bytes item = freeformItem(name, value);
    items.insert(items.end(), item.begin(), item.end());
  }
  // What is missing of udta > meta > ilst is created around the items.
  auto udta = child(moov, *m, 0, "udta");
  if (!udta) {
    Bytes meta(4, 0);
    const Bytes h = itemListHandler(), ilst = box("ilst", items);
    meta.insert(meta.end(), h.begin(), h.end());
    meta.insert(meta.end(), ilst.begin(), ilst.end());
    insertInto(moov, moov.size(), box("udta", box("meta", meta)), {*m});
    return true;
  }
  auto meta = child(moov, *udta, 0, "meta");
  if (!meta) {
    Bytes payload(4, 0);
    const Bytes h = itemListHandler(), ilst = box("ilst", items);
    payload.insert(payload.end(), h.begin(), h.end());
    payload.insert(payload.end(), ilst.begin(), ilst.end());
    insertInto(moov, udta->offset + udta->size, box("meta", payload), {*m, *udta});
    return true;
  }
  auto ilst = child(moov, *meta, 4, "ilst");  // meta is a full box: version and flags first
  if (!ilst) {
    insertInto(moov, meta->offset + meta->size, box("ilst", items), {*m, *udta, *meta});
    return true;
  }
  insertInto(moov, ilst->offset + ilst->size, items, {*m, *udta, *meta, *ilst});
  return true;
}

}  // namespace encoder::mp4
