#include "components/office/uno/file_url.h"

#include <osl/file.hxx>
#include <osl/process.h>

#include "components/office/uno/ustring.h"

namespace office {

bool fileUrlFromPath(const rt::Text& path, OUString& url, rt::Text& error) {
  if (path.empty()) {
    error = u"The file name is empty.";
    return false;
  }
  if (path.find(u'\0') != rt::Text::npos) {
    error = u"The file name contains a null character.";
    return false;
  }
  // The office's conversion passes a text starting with "file:" through as a
  // URL and expands a leading "~" to a home folder. Anchoring a relative path
  // at "./" makes both mean what they say: a name in the current folder.
  const bool relative = path.front() != u'/';
  const OUString systemPath = toOUString(relative ? u"./" + path : path);
  OUString converted;
  if (osl::FileBase::getFileURLFromSystemPath(systemPath, converted) != osl::FileBase::E_None) {
    error = u"\"" + path + u"\" is not a valid file name.";
    return false;
  }
  if (!relative) {
    url = converted;
    return true;
  }
  OUString cwd;
  if (osl_getProcessWorkingDir(&cwd.pData) != osl_Process_E_None) {
    error = u"The current folder cannot be determined, so \"" + path + u"\" cannot be found.";
    return false;
  }
  if (osl::FileBase::getAbsoluteFileURL(cwd, converted, url) != osl::FileBase::E_None) {
    error = u"\"" + path + u"\" is not a valid file name.";
    return false;
  }
  return true;
}

rt::Text pathFromFileUrl(const OUString& url) {
  OUString path;
  if (osl::FileBase::getSystemPathFromFileURL(url, path) != osl::FileBase::E_None) return toText(url);
  return toText(path);
}

}  // namespace office
