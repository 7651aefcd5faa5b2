// The office's strings and ours are both UTF-16: they convert code unit for
// code unit, with no character set in between.
#pragma once

#include <rtl/ustring.hxx>

#include "runtime/text.h"

namespace office {

inline rtl::OUString toOUString(const rt::Text& t) {
  return rtl::OUString(reinterpret_cast<const sal_Unicode*>(t.data()), static_cast<sal_Int32>(t.size()));
}

inline rt::Text toText(const rtl::OUString& s) {
  return rt::Text(reinterpret_cast<const char16_t*>(s.getStr()), static_cast<std::size_t>(s.getLength()));
}

}  // namespace office
